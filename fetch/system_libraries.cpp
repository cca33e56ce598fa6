#include "fetch/system_libraries.h"

#include <windows.h>

#include <string>

namespace {

// Every function the program calls in each library, from cmake/delay-load/*.def.
const char* const kWinHttpFunctions[] = {
#include "winhttp_functions.inc"
};
const char* const kCngFunctions[] = {
#include "bcrypt_functions.inc"
};

// Request threads may overlap; a library found once is not looked for again.
SRWLOCK s_lock = SRWLOCK_INIT;
bool s_bound[2] = {false, false};

std::wstring SystemFolderPath(const wchar_t* fileName) {
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  return std::wstring(folder, length) + L"\\" + fileName;
}

}  // namespace

bool LoadSystemLibrary(const wchar_t* fileName, const char* const* functions, std::size_t count) {
  const std::wstring path = SystemFolderPath(fileName);
  if (path.empty()) return false;
  // The library's own imports come from the system folder too: with the
  // loader update through the search flag; without it (Windows 7 before
  // KB2533623 refuses the flag) the altered search starts in the library's
  // folder instead of the executable's.
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  if (module == nullptr) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (GetProcAddress(module, functions[i]) == nullptr) {
      FreeLibrary(module);
      return false;
    }
  }
  // Never freed: the binding on first use keeps calling into it.
  return true;
}

bool BindSystemLibrary(SystemLibrary library) {
  const bool winHttp = library == SystemLibrary::kWinHttp;
  const int index = winHttp ? 0 : 1;
  AcquireSRWLockExclusive(&s_lock);
  if (!s_bound[index]) {
    s_bound[index] = winHttp
                         ? LoadSystemLibrary(L"winhttp.dll", kWinHttpFunctions,
                                             sizeof kWinHttpFunctions / sizeof kWinHttpFunctions[0])
                         : LoadSystemLibrary(L"bcrypt.dll", kCngFunctions,
                                             sizeof kCngFunctions / sizeof kCngFunctions[0]);
  }
  const bool bound = s_bound[index];
  ReleaseSRWLockExclusive(&s_lock);
  return bound;
}
