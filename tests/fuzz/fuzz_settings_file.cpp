// config.xml of any bytes, read on a thread with the service's stack: the
// reader must neither crash nor leave a base URL that does not fit its buffer.
#include <cstring>

#include "tests/fuzz/fuzz_support.h"
#include "watcher/watcher.h"

namespace {

void Read(const std::string& file) {
  WriteFuzzFile("config.xml", reinterpret_cast<const unsigned char*>(file.data()), file.size());
  CopyPath(g_baseUrl, "http://default.test/flash/config/desktop.xml");
  std::int32_t check = 0;
  std::int32_t marker = 0;
  ReadWatcherSettings(&check, &marker);
  FUZZ_CHECK(std::memchr(g_baseUrl, '\0', sizeof g_baseUrl) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzAppFolder();
  OnServiceStack(Read, std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
