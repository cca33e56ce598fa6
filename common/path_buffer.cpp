#include "common/path_buffer.h"

#include <cstring>

bool JoinPath(PathBuffer& out, const char* folder, const char* name) {
  const std::size_t folderLength = std::strlen(folder);
  const std::size_t nameLength = std::strlen(name);
  if (folderLength + nameLength >= sizeof out) {
    out[0] = '\0';
    return false;
  }
  std::memmove(out, folder, folderLength);
  std::memmove(out + folderLength, name, nameLength + 1);
  return true;
}

bool CopyPath(PathBuffer& out, const char* text) {
  return JoinPath(out, text, "");
}
