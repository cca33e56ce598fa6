#include "check/console.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "common/utf16_text.h"

namespace {

// The report quotes what servers and files say: their control characters
// (a terminal's escape sequences among them) are shown as "?", so that no
// answer can rewrite the lines around it.
std::string Printable(std::string text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\n') || byte == 0x7F) c = '?';
  }
  return text;
}

std::FILE* s_copy = nullptr;

void Write(const std::string& raw) {
  const std::string text = Printable(raw);
  if (s_copy != nullptr) {
    std::fwrite(text.data(), 1, text.size(), s_copy);
    std::fflush(s_copy);
  }
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::vector<wchar_t> wide(static_cast<std::size_t>(length > 0 ? length : 1));
    if (length > 0 && MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                          wide.data(), length) == length) {
      DWORD written = 0;
      WriteConsoleW(out, wide.data(), static_cast<DWORD>(length), &written, nullptr);
      return;
    }
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string Format(const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, arguments);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

}  // namespace

void CopyOutputTo(std::FILE* file) { s_copy = file; }

void Say(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  Write(Format(format, arguments));
  va_end(arguments);
}

void Line(const char* label, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  char column[16];
  std::snprintf(column, sizeof column, "%-12s", label);
  Write(column + Format(format, arguments) + "\n");
  va_end(arguments);
}

std::string Ansi(const std::wstring& text) {
  return AnsiFromUtf16(std::u16string(text.begin(), text.end()));
}
