// update.ini of any bytes: the streamed file reader and the word test over
// the same bytes must agree.
#include "tests/fuzz/fuzz_support.h"
#include "watcher/watcher.h"
#include "watcher/watcher_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzAppFolder();
  WriteFuzzFile("update.ini", data, size);
  const bool pending = IsPendingMarker(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(IsUpdateCleared() == !pending);
  return 0;
}
