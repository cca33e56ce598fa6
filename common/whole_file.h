// Reading a file whole, as the service reads its small files.
#pragma once

#include <string>

// Appends the file's bytes to bytes; false when it cannot be opened or read
// to its end.
bool ReadWholeFile(const char* path, std::string* bytes);
