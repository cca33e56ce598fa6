#include "common/file_replace.h"

#include <windows.h>

#include "common/path_buffer.h"

namespace {

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What a replacement takes over from the file it replaces; read-only is
// cleared before, as it refuses the replacement itself.
const DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

enum class Found {
  kNothing,    // no file by that name
  kPlainFile,  // one name, no reparse point: safe to write into
  kOtherName,  // a hard link, symbolic link or other reparse point: replace the name only
  kFolder,     // never replaced
  kHeld,       // cannot be renamed over now; only an in-place write may work
};

struct Existing {
  Found found = Found::kNothing;
  DWORD attributes = 0;
  std::string security;  // the plain file's access rights (its DACL)
};

bool IsPlainFile(const BY_HANDLE_FILE_INFORMATION& info) {
  return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         info.nNumberOfLinks == 1;
}

std::string ReadAccessRights(HANDLE file) {
  DWORD needed = 0;
  GetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) return std::string();
  std::string security(needed, '\0');
  if (!GetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, &security[0], needed, &needed)) {
    return std::string();
  }
  return security;
}

// Looks at the name itself, never at what a link or reparse point leads to.
// Asking for delete access tells whether a rename over it can work now.
Existing Inspect(const char* path) {
  Existing existing;
  HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES | READ_CONTROL | DELETE, kShareAll, nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    existing.found = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                         ? Found::kNothing
                         : Found::kHeld;
    return existing;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) {
    existing.found = Found::kHeld;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    existing.found = Found::kFolder;
  } else if (IsPlainFile(info)) {
    existing.found = Found::kPlainFile;
    existing.attributes = info.dwFileAttributes & kCarriedAttributes;
    existing.security = ReadAccessRights(file);
  } else {
    existing.found = Found::kOtherName;
  }
  CloseHandle(file);
  return existing;
}

// A read-only mark (a copy from a disc, a "protect my files" tool) refuses
// every replacement, rename and write on Windows: the service's own file
// loses it. Only a plain file with one name, looked at through the handle
// that changes it, so that no link leads the change elsewhere.
void ClearReadOnly(const char* path) {
#ifdef VEXLO_FAULT_KEPT_READ_ONLY
  // Only in a test build with a deliberate fault, for the acceptance kit to catch:
  // the read-only mark stays.
  if (path != nullptr) return;
#endif
  HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                            OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info) && IsPlainFile(info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FILE_BASIC_INFO basic = {};  // times of 0 stay as they are
    basic.FileAttributes = info.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    // 0 would mean "leave the attributes as they are".
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
  }
  CloseHandle(file);
}

// A new file under the name, never one that was there: a stale temporary
// file from a crash, or anything planted there, loses its name first
// (deleting a link removes the link, not what it leads to).
HANDLE CreateFreshFile(const char* path, DWORD attributes) {
  const DWORD flags =
      (attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL) | FILE_FLAG_OPEN_REPARSE_POINT;
  for (int attempt = 0; attempt < 2; ++attempt) {
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE | WRITE_DAC, 0, nullptr, CREATE_NEW, flags, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = GetLastError();
    if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || !DeleteFileA(path)) break;
  }
  return INVALID_HANDLE_VALUE;
}

bool WriteAll(HANDLE file, const std::string& bytes) {
  if (bytes.size() > MAXDWORD) return false;
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// Fills the new temporary file and closes it; on failure removes it again.
bool WriteTemporaryFile(HANDLE temp, const char* tempPath, const std::string& security,
                        const std::string& bytes) {
  // A deployer who granted the client's updater write access to the file
  // must keep that grant across the replacement.
  if (!security.empty()) {
    SetKernelObjectSecurity(temp, DACL_SECURITY_INFORMATION, const_cast<char*>(security.data()));
  }
  const bool complete = WriteAll(temp, bytes) && FlushFileBuffers(temp);
  CloseHandle(temp);
  // A short write (a full disk) must not cost the file it was to replace.
  if (!complete) DeleteFileA(tempPath);
  return complete;
}

bool PlatformReplace(const char* path, const char* tempPath, const char* backupPath,
                     unsigned long* error) {
  if (ReplaceFileA(path, tempPath, backupPath,
                   REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                   nullptr)) {
    return true;
  }
  *error = GetLastError();
  return false;
}

bool IsMissing(const char* path) {
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return false;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Renames only: whatever the old name led to is never opened for writing.
bool PutInPlace(const char* tempPath, const char* backupPath, const char* path, Found found) {
  if (found == Found::kPlainFile) {
    // A backup left by a crash, or anything planted at its name, loses the
    // name first (deleting a link removes the link, not what it leads to).
    DeleteFileA(backupPath);
    // The platform's replacement keeps what else the old file had (creation
    // time, streams, the full security descriptor on Windows).
    unsigned long error = 0;
    if (g_replaceStep(path, tempPath, backupPath, &error)) {
      DeleteFileA(backupPath);
      return true;
    }
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the old file went to the backup
    // name and the new one stayed under its temporary name; other partial
    // failures may leave the name empty too. The new bytes are put in place,
    // or else the old ones back.
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 || IsMissing(path)) {
      if (MoveFileExA(tempPath, path, MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(backupPath);
        return true;
      }
      MoveFileExA(backupPath, path, MOVEFILE_WRITE_THROUGH);
      return false;
    }
  }
  return MoveFileExA(tempPath, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Cuts and rewrites the file itself, which must be a plain file with one name.
bool WriteInPlace(const char* path, const std::string& bytes) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool written = GetFileInformationByHandle(file, &info) && IsPlainFile(info) &&
                       SetEndOfFile(file) && WriteAll(file, bytes);
  CloseHandle(file);
  return written;
}

}  // namespace

ReplaceStep g_replaceStep = &PlatformReplace;

bool ReplaceFileContents(const char* folder, const char* name, const char* tempName,
                         const char* backupName, const std::string& bytes) {
  PathBuffer path;
  PathBuffer tempPath;
  PathBuffer backupPath;
  if (!JoinPath(path, folder, name) || !JoinPath(tempPath, folder, tempName) ||
      !JoinPath(backupPath, folder, backupName)) {
    return false;
  }

  ClearReadOnly(path);
  const Existing existing = Inspect(path);
  if (existing.found == Found::kFolder) return false;
  bool haveTemp = false;
  if (existing.found != Found::kHeld) {
    HANDLE temp = CreateFreshFile(tempPath, existing.attributes);
    if (temp != INVALID_HANDLE_VALUE) {
      if (!WriteTemporaryFile(temp, tempPath, existing.security, bytes)) return false;
      if (PutInPlace(tempPath, backupPath, path, existing.found)) return true;
      haveTemp = true;
    }
  }
  // No temporary file (its name is taken by a folder, say) or no rename: the
  // file is rewritten where it is, if it is safe to write into. The
  // temporary copy goes only once the new bytes are in place, or while the
  // file still holds its old ones.
  const bool written = WriteInPlace(path, bytes);
  if (haveTemp && (written || !IsMissing(path))) DeleteFileA(tempPath);
  return written;
}
