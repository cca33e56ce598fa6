#include <windows.h>

#include <clocale>

#include "common/file_replace.h"
#include "common/path_buffer.h"
#include "common/vexlo.h"
#include "common/whole_file.h"
#include "watcher/watcher.h"

bool ReadStoredVersion(std::string* bytes) {
  PathBuffer path;
  return JoinPath(path, g_appFolder, "version.xml") && ReadWholeFile(path, bytes);
}

bool UpdateMarkerLooksWritable() {
  PathBuffer path;
  if (!JoinPath(path, g_appFolder, "update.ini")) return false;
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  CloseHandle(file);
  return true;
}

bool WriteUpdateMarker() {
  std::setlocale(LC_ALL, "");
#ifdef VEXLO_FAULT_WRONG_MARKER
  // Only in a test build with a deliberate fault, for the acceptance kit to catch:
  // the pending-update marker is written as "1".
  return ReplaceFileContents(g_appFolder, "update.ini", "update.tmp", "update.old", "1");
#else
  return ReplaceFileContents(g_appFolder, "update.ini", "update.tmp", "update.old", "0");
#endif
}

StateWrite WriteStateFiles(const std::string& documentText) {
  std::setlocale(LC_ALL, "");
  std::string previous;
  const bool havePrevious = ReadStoredVersion(&previous);
  // The temporary names are no longer than the real ones, so a folder that
  // fits the real name fits the temporary one too.
  const bool stored =
      ReplaceFileContents(g_appFolder, "version.xml", "version.tmp", "version.old", documentText);
  // A program that sees the "0" may read version.xml at once: it comes second.
  if (WriteUpdateMarker()) return StateWrite::kPending;
  // Without the marker a new version.xml would hide the update from every
  // later check: the old one goes back, and a later check finds it again.
  if (!stored) return StateWrite::kUnchanged;
  if (havePrevious &&
      ReplaceFileContents(g_appFolder, "version.xml", "version.tmp", "version.old", previous)) {
    return StateWrite::kUnchanged;
  }
  return StateWrite::kMarkerOwed;
}
