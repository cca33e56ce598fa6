// Local and remote version documents of any bytes, up to the download's size
// bound, compared on a thread with the service's stack. Equal documents must
// never announce an update, whatever the length of their version texts.
#include <fuzzer/FuzzedDataProvider.h>

#include <utility>

#include "tests/fuzz/fuzz_support.h"
#include "watcher/watcher.h"

namespace {

void Compare(const std::pair<std::string, std::string>& documents) {
  const auto& [local, remote] = documents;
  WriteFuzzFile("version.xml", reinterpret_cast<const unsigned char*>(local.data()),
                local.size());
  IsUpdateAvailable(remote);
  FUZZ_CHECK(!IsUpdateAvailable(local));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzAppFolder();
  FuzzedDataProvider provider(data, size);
  std::pair<std::string, std::string> documents;
  documents.first = provider.ConsumeRandomLengthString();
  documents.second = provider.ConsumeRemainingBytesAsString();
  OnServiceStack(Compare, documents);
  return 0;
}
