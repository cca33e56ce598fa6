// Interval texts and values at the ends of the 32-bit range: parsing
// saturates, and the timers keep their schedule without overflow.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <climits>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "watcher/watcher_internal.h"

namespace {

// What atoi would give with unlimited range, clamped to 32 bits.
std::int32_t Reference(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) && text[i] != '\0') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 1LL << 32) value = 1LL << 32;
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::int32_t interval = provider.ConsumeIntegral<std::int32_t>();
  const std::int64_t start = provider.ConsumeIntegralInRange<std::int64_t>(INT_MIN - 4LL, INT_MAX);
  const std::string text = provider.ConsumeRemainingBytesAsString();
  // The reader sees the text up to its first zero byte.
  FUZZ_CHECK(ParseInterval(text.c_str()) == Reference(text.substr(0, text.find('\0'))));

  // From any counter, a timer fires within interval + 1 passes of its last
  // firing, and every pass when the interval is 0 or below.
  std::int64_t counter = start;
  bool fired = false;
  for (int pass = 0; pass < 64; ++pass) {
    const bool now = AdvanceTimer(&counter, interval);
    if (interval <= 0 && fired) FUZZ_CHECK(now);
    fired = fired || now;
    FUZZ_CHECK(counter >= 0 || counter > start);
  }
  std::int64_t first = FirstCheckCounter(interval);
  for (int pass = 1; pass <= 5; ++pass) FUZZ_CHECK(AdvanceTimer(&first, interval) == (pass == 5));
  return 0;
}
