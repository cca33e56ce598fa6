// Local and remote version documents of any bytes. Equal documents must never
// announce an update, whatever the length of their version texts.
#include <fuzzer/FuzzedDataProvider.h>

#include "tests/fuzz/fuzz_support.h"
#include "watcher/watcher.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzAppFolder();
  FuzzedDataProvider provider(data, size);
  const std::string local = provider.ConsumeRandomLengthString();
  const std::string remote = provider.ConsumeRemainingBytesAsString();
  WriteFuzzFile("version.xml", reinterpret_cast<const unsigned char*>(local.data()),
                local.size());
  IsUpdateAvailable(remote);
  FUZZ_CHECK(!IsUpdateAvailable(local));
  return 0;
}
