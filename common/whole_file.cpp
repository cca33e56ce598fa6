#include "common/whole_file.h"

#include <cstdio>

bool ReadWholeFile(const char* path, std::string* bytes) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  char chunk[4096];
  std::size_t read;
  while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes->append(chunk, read);
  const bool failed = std::ferror(file) != 0;
  (void)std::fclose(file);  // read only: nothing to lose
  return !failed;
}
