#include <windows.h>

#include <clocale>
#include <cstdio>

#include "common/path_buffer.h"
#include "watcher/watcher.h"

namespace {

// The stream library's plain write: create or cut to zero length, then write.
bool WriteInPlace(const char* path, const char* mode, const std::string& bytes) {
  std::FILE* file = std::fopen(path, mode);
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// Writes the new content beside the file and renames it over the old one, so
// that a crash or power loss leaves the old or the new file, never a part.
// When the rename is refused (the old file held open without delete sharing,
// say) the file is written in place as before.
bool ReplaceFileContents(const char* fileName, const char* tempName, const char* mode,
                         const std::string& bytes) {
  PathBuffer path;
  PathBuffer tempPath;
  if (!JoinPath(path, g_appFolder, fileName) || !JoinPath(tempPath, g_appFolder, tempName)) {
    return false;
  }

  HANDLE temp = CreateFileA(tempPath, GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (temp == INVALID_HANDLE_VALUE) return WriteInPlace(path, mode, bytes);

  DWORD written = 0;
  const bool complete = bytes.size() <= MAXDWORD &&
                        WriteFile(temp, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                  nullptr) &&
                        written == bytes.size() && FlushFileBuffers(temp);
  CloseHandle(temp);
  // A short write (a full disk) must not cost the file it was to replace.
  if (!complete) {
    DeleteFileA(tempPath);
    return false;
  }
  if (MoveFileExA(tempPath, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileA(tempPath);
  return WriteInPlace(path, mode, bytes);
}

}  // namespace

void WriteStateFiles(const std::string& documentText) {
  std::setlocale(LC_ALL, "");
  // The temporary names are no longer than the real ones, so a folder that
  // fits the real name fits the temporary one too.
  ReplaceFileContents("version.xml", "version.tmp", "wb", documentText);
  ReplaceFileContents("update.ini", "update.tmp", "w", "0");
}
