// Reading a file whole, as the service reads its small files.
#pragma once

#include <cstdio>
#include <string>

// Opens the file for reading as a stream, in text or binary mode, sharing
// it with any other program that writes, renames or replaces it meanwhile.
// Null when it cannot be opened.
std::FILE* OpenSharedForReading(const char* path, bool text);

// Appends the file's bytes to bytes; false when it cannot be opened or read
// to its end.
bool ReadWholeFile(const char* path, std::string* bytes);
