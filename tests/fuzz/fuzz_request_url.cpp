// Base URLs of any length and any clock value: the URL is built whole or not
// at all, never cut short or overrun.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "fetch/request_url.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::int64_t now = provider.ConsumeIntegral<std::int64_t>();
  const std::string base = provider.ConsumeRemainingBytesAsString();
  const std::string text = base.substr(0, base.find('\0'));  // a C string ends there
  const std::string expected =
      text + "?time=" + std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(now)));
  PathBuffer url;
  const bool built = BuildRequestUrl(url, text.c_str(), now);
  FUZZ_CHECK(built == (expected.size() < sizeof url));
  FUZZ_CHECK(built ? expected == url : url[0] == '\0');
  return 0;
}
