#include <windows.h>

#include "common/utf16_text.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

std::string AnsiFromUtf16(const std::u16string& text) {
  const std::size_t end = text.find(u'\0');
  const int length = static_cast<int>(end == std::u16string::npos ? text.size() : end);
  if (length == 0) return std::string();
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string ansi(static_cast<std::size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, wide, length, &ansi[0], bytes, nullptr, nullptr) != bytes) {
    return std::string();
  }
  return ansi;
}
