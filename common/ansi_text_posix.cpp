// The native builds' stand-in for the ANSI code page: UTF-8, as a Linux
// locale has it. An unpaired surrogate becomes U+FFFD.
#include "common/utf16_text.h"

namespace {

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool IsHigh(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string AnsiFromUtf16(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && text[i] != u'\0'; ++i) {
    const char16_t unit = text[i];
    if (IsHigh(unit) && i + 1 < text.size() && IsLow(text[i + 1])) {
      AppendUtf8(&out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                           (static_cast<char32_t>(text[i + 1]) - 0xDC00));
      ++i;
    } else if (IsHigh(unit) || IsLow(unit)) {
      AppendUtf8(&out, 0xFFFD);
    } else {
      AppendUtf8(&out, unit);
    }
  }
  return out;
}
