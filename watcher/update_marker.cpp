#include <clocale>
#include <cstdio>

#include "common/path_buffer.h"
#include "common/whole_file.h"
#include "watcher/watcher.h"
#include "watcher/watcher_internal.h"

namespace {

bool IsWordSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool IsPendingMarker(const char* bytes, std::size_t length) {
  std::size_t i = 0;
  while (i < length && IsWordSpace(static_cast<unsigned char>(bytes[i]))) ++i;
  if (i == length || bytes[i] != '0') return false;
  ++i;
  return i == length || IsWordSpace(static_cast<unsigned char>(bytes[i]));
}

MarkerState ReadUpdateMarker() {
  PathBuffer path;
  if (!JoinPath(path, g_appFolder, "update.ini")) return MarkerState::kUnreadable;

  (void)std::setlocale(LC_ALL, "");
  std::FILE* file = OpenSharedForReading(path, true);
  if (file == nullptr) return MarkerState::kUnreadable;

  // Only the first word matters, so the file is streamed rather than read
  // whole: leading whitespace of any length is skipped without a buffer.
  int c;
  do {
    c = std::fgetc(file);
  } while (c != EOF && IsWordSpace(c));
  char word[2] = {0, 0};
  std::size_t length = 0;
  if (c != EOF) {
    word[length++] = static_cast<char>(c);
    c = std::fgetc(file);
    if (c != EOF) word[length++] = static_cast<char>(c);
  }
  (void)std::fclose(file);  // read only: nothing to lose
  return IsPendingMarker(word, length) ? MarkerState::kPending : MarkerState::kCleared;
}

bool IsUpdateCleared() { return ReadUpdateMarker() == MarkerState::kCleared; }
