// Desktop folders and targets of any length: the link path fits its buffer,
// names the target's last component and ends in "lnk", or is refused.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "shortcut/link_path.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string desktop = provider.ConsumeRandomLengthString();
  const std::string target = provider.ConsumeRemainingBytesAsString();
  PathBuffer link;
  if (!FormLinkPath(link, desktop.c_str(), target.c_str())) {
    FUZZ_CHECK(link[0] == '\0');
    return 0;
  }
  const std::size_t length = std::strlen(link);
  FUZZ_CHECK(length >= 3 && length < sizeof link);
  FUZZ_CHECK(std::memcmp(link + length - 3, "lnk", 3) == 0);
  // The renaming goes by position: with a tail of one backslash it reaches
  // back into the folder's last character, never before the buffer.
  const std::size_t kept = std::min(std::strlen(desktop.c_str()), length - 3);
  FUZZ_CHECK(std::strncmp(link, desktop.c_str(), kept) == 0);
  return 0;
}
