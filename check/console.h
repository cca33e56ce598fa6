// What VexloCheck.exe prints. Texts are in the ANSI code page, as everything
// the service reads is: to a console they go as UTF-16, so that paths and
// versions read right whatever the console's code page; to a file or a pipe
// (a release pipeline) as they are.
#pragma once

#include <cstdio>
#include <string>

// Everything printed from now on is also written, as it is, to file (a
// report a person sends back); null stops it.
void CopyOutputTo(std::FILE* file);

// printf-style, one or more whole lines.
void Say(const char* format, ...);

// A label in the report's left column, then the text.
void Line(const char* label, const char* format, ...);

// UTF-16 text (the platform's answers) in the ANSI code page, for Say.
std::string Ansi(const std::wstring& text);
