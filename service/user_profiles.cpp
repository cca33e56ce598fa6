// The users' profile folders as the machine lists them, and the exe's path
// in the same form, for -install's rule by place.
#include <windows.h>

#include <cwchar>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "common/utf16_text.h"
#include "service/profile_rule.h"
#include "service/service.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

using Key = std::unique_ptr<HKEY__, decltype(&RegCloseKey)>;

const wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
// A SID in text is at most about 190 characters.
const DWORD kSidNameSize = 256;

// The paths are kept as UTF-16 units, the one wide string the rest of the
// exe already carries, and handed to the platform as its wide characters.
const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
wchar_t* Wide(std::u16string& text) { return reinterpret_cast<wchar_t*>(&text[0]); }

Key OpenKey(HKEY parent, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name, 0, KEY_READ, &key) != ERROR_SUCCESS) key = nullptr;
  return Key(key, &RegCloseKey);
}

// A string value, with the variables of an expandable one (Windows writes
// "%SystemDrive%\Users") put in; empty when there is none.
std::u16string StringValue(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::u16string();
  }
  // The stored string need not end with a NUL: room for one more.
  std::u16string value(bytes / sizeof(wchar_t) + 1, u'\0');
  bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(Wide(value)), &bytes) !=
      ERROR_SUCCESS) {
    return std::u16string();
  }
  value.resize(std::wcslen(Wide(value)));
  if (type != REG_EXPAND_SZ || value.empty()) return value;
  const DWORD size = ExpandEnvironmentStringsW(Wide(value), nullptr, 0);
  if (size == 0) return std::u16string();
  std::u16string expanded(size, u'\0');
  const DWORD written = ExpandEnvironmentStringsW(Wide(value), Wide(expanded), size);
  if (written == 0 || written > size) return std::u16string();
  expanded.resize(written - 1);
  return expanded;
}

// The folders the profile list names: the folder of all profiles, the
// public and the default profile, and every account's own but the
// system's. False when the list cannot be read.
bool ProfileFolders(std::vector<std::u16string>* folders) {
  const Key list = OpenKey(HKEY_LOCAL_MACHINE, kProfileList);
  if (!list) return false;
  for (const wchar_t* name : {L"ProfilesDirectory", L"Public", L"Default"}) {
    std::u16string folder = StringValue(list.get(), name);
    if (!folder.empty()) folders->push_back(folder);
  }
  wchar_t sid[kSidNameSize];
  for (DWORD i = 0;; ++i) {
    DWORD length = kSidNameSize;
    const LONG result =
        RegEnumKeyExW(list.get(), i, sid, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || IsSystemAccountProfile(reinterpret_cast<const char16_t*>(sid))) {
      continue;
    }
    const Key entry = OpenKey(list.get(), sid);
    std::u16string folder =
        entry ? StringValue(entry.get(), L"ProfileImagePath") : std::u16string();
    if (!folder.empty()) folders->push_back(folder);
  }
  return true;
}

// path with "." and ".." resolved and every 8.3 name replaced by its long
// one. A path that is not there keeps its full form, and longFound says so.
std::u16string FullLongPath(const std::u16string& path, bool* longFound) {
  *longFound = false;
  DWORD size = GetFullPathNameW(Wide(path), 0, nullptr, nullptr);
  if (size == 0) return std::u16string();
  std::u16string full(size, u'\0');
  DWORD written = GetFullPathNameW(Wide(path), size, Wide(full), nullptr);
  if (written == 0 || written >= size) return std::u16string();
  full.resize(written);
  size = GetLongPathNameW(Wide(full), nullptr, 0);
  if (size == 0) return full;
  std::u16string longer(size, u'\0');
  written = GetLongPathNameW(Wide(full), Wide(longer), size);
  if (written == 0 || written >= size) return full;
  longer.resize(written);
  *longFound = true;
  return longer;
}

// The form two paths are compared in: the file system does not tell the
// cases apart. (Kernel32's mapping: user32's would load user32.dll, and with
// it the AppInit DLLs, into the service.)
std::u16string Folded(const std::u16string& path) {
  const int length = static_cast<int>(path.size());
  std::u16string upper(path.size(), u'\0');
  if (length > 0 && LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, Wide(path), length, Wide(upper),
                                 length) != length) {
    return std::u16string();
  }
  return upper;
}

}  // namespace

std::string InUserProfile(const char* exePath) {
  const int size = MultiByteToWideChar(CP_ACP, 0, exePath, -1, nullptr, 0);
  std::u16string wide(size > 0 ? static_cast<std::size_t>(size) : 1, u'\0');
  if (size <= 0 || MultiByteToWideChar(CP_ACP, 0, exePath, -1, Wide(wide), size) != size) {
    return std::string(exePath) + " cannot be read";
  }
  wide.resize(static_cast<std::size_t>(size) - 1);
  bool found = false;
  const std::u16string exe = FullLongPath(wide, &found);
  if (!found) return std::string(exePath) + " cannot be read";

  std::vector<std::u16string> profiles;
  if (!ProfileFolders(&profiles)) {
    return AnsiFromUtf16(exe) + ": the users' profiles cannot be listed";
  }
  std::vector<std::u16string> folded;
  for (std::u16string& profile : profiles) {
    profile = FullLongPath(profile, &found);
    folded.push_back(Folded(profile));
  }
  const std::u16string foldedExe = Folded(exe);
  if (foldedExe.empty()) return std::string(exePath) + " cannot be read";
  const std::size_t holder = ClosestHolder(foldedExe, folded);
  if (holder == std::u16string::npos) return std::string();
  return AnsiFromUtf16(exe) + " is in a user's profile (" + AnsiFromUtf16(profiles[holder]) +
         "): its programs may change it; install under C:\\Program Files";
}
