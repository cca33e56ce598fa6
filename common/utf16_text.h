// UTF-16 text, as Windows editors save files and servers send documents, and
// the ANSI text the service works in. Free of Windows headers.
#pragma once

#include <cstddef>
#include <string>

// The UTF-16 code units of bytes from byte `from` on, in either byte order;
// a last odd byte is dropped.
std::u16string Utf16Units(const std::string& bytes, std::size_t from, bool bigEndian);

// text up to its first NUL, in the system ANSI code page (characters it lacks
// become its default character). Empty when the conversion fails. Outside
// Windows, for the native tests, the "ANSI code page" is UTF-8.
std::string AnsiFromUtf16(const std::u16string& text);
