// How the bytes of a downloaded body become text: a byte-order mark decides
// the encoding and is dropped; otherwise the charset of the Content-Type;
// otherwise UTF-8. This is how the platform's XML request object read
// bodies, so that a version.xml stored by an earlier build compares equal
// to the same document downloaded now.
#pragma once

#include <cstddef>
#include <string>

enum class BodyEncoding { kUtf8, kUtf16Le, kUtf16Be, kCodePage };

struct BodyCharset {
  BodyEncoding encoding = BodyEncoding::kUtf8;
  unsigned codePage = 0;       // with kCodePage: the Windows code page
  std::size_t markLength = 0;  // bytes of the byte-order mark to skip
};

BodyCharset DetectBodyCharset(const std::string& body, const std::string& contentType);
