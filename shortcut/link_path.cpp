#include "shortcut/link_path.h"

#include <cstdio>
#include <cstring>

bool FormLinkPath(PathBuffer& out, const char* desktopFolder, const char* target) {
  out[0] = '\0';
  const char* tail = std::strrchr(target, '\\');
  if (tail == nullptr) return false;
  // The tail keeps its backslash, so two stand between folder and name; the
  // file system reads them as one separator.
  const int length = std::snprintf(out, sizeof out, "%s\\%s", desktopFolder, tail);
  // A result shorter than three characters has no name to rename.
  if (length < 3 || length >= static_cast<int>(sizeof out)) {
    out[0] = '\0';
    return false;
  }
  // By position, not by extension: "tool.sh" becomes "toollnk".
  std::memcpy(out + length - 3, "lnk", 3);
  return true;
}
