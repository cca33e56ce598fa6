#include "fetch/request_url.h"

#include <cstdio>

bool BuildRequestUrl(PathBuffer& out, const char* baseUrl, std::int64_t now) {
  // The server only uses the value to defeat caches; the low 32 bits are the
  // part that changes.
  const auto timeValue = static_cast<std::int32_t>(static_cast<std::uint32_t>(now));
  const int length = std::snprintf(out, sizeof out, "%s?time=%ld", baseUrl,
                                   static_cast<long>(timeValue));
  if (length < 0 || length >= static_cast<int>(sizeof out)) {
    out[0] = '\0';
    return false;
  }
  return true;
}
