// A scratch application folder for the fuzz targets that read files.
#pragma once

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
