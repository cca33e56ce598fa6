// A scratch application folder for the fuzz targets that read files.
#pragma once

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/path_buffer.h"

inline const std::string& FuzzAppFolder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/vexlo-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    std::string path = std::string(made) + "/";
    if (!CopyPath(g_appFolder, path.c_str())) std::abort();
    return path;
  }();
  return folder;
}

inline void WriteFuzzFile(const char* name, const unsigned char* data, std::size_t size) {
  std::FILE* file = std::fopen((FuzzAppFolder() + name).c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

// Checks an invariant; a failure is a finding.
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) {       \
      std::fprintf(stderr, "check failed: %s\n", #condition); \
      std::abort();           \
    }                         \
  } while (0)

// The stack reserve of the service exe (service/CMakeLists.txt), which every
// thread of the service gets, the one that parses documents included.
const std::size_t kServiceStackBytes = 2 * 1024 * 1024;

// Runs work(argument) on a thread with the service's stack, so that a parse
// that would overflow the service's stack overflows here too.
template <typename Argument>
void OnServiceStack(void (*work)(const Argument&), const Argument& argument) {
  struct Call {
    void (*work)(const Argument&);
    const Argument* argument;
  } call{work, &argument};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kServiceStackBytes);
  pthread_t thread;
  const int made = pthread_create(&thread, &attributes, [](void* p) -> void* {
    auto* c = static_cast<Call*>(p);
    c->work(*c->argument);
    return nullptr;
  }, &call);
  pthread_attr_destroy(&attributes);
  if (made != 0) std::abort();
  pthread_join(thread, nullptr);
}
