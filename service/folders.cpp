#include <shlobj.h>

#include <cstring>

#include "common/vexlo.h"
#include "service/service.h"

int StripToFolder() {
  char* lastBackslash = std::strrchr(g_appFolder, '\\');
  if (lastBackslash != nullptr) lastBackslash[1] = '\0';
  return 1;
}

bool GetExecutablePath(PathBuffer& path) {
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    path[0] = '\0';
    return false;
  }
  return true;
}

namespace {

using GetSpecialFolderLocation = HRESULT(WINAPI*)(HWND, int, LPITEMIDLIST*);
using GetPathFromIdList = BOOL(WINAPI*)(LPCITEMIDLIST, LPSTR);

template <typename Function>
Function Find(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The shell is bound here, once the library search is limited, and not at
// start-up: bound at start-up, its own imports (shcore, under Wine) are
// looked for in the executable's folder first. It stays loaded.
HMODULE LoadShell() {
  HMODULE shell = LoadLibraryExA("shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Windows without the search flags refuses them; shell32 is a known DLL there.
  if (shell == nullptr) shell = LoadLibraryA("shell32.dll");
  return shell;
}

}  // namespace

bool GetCommonDesktop(PathBuffer& folder) {
  HMODULE shell = LoadShell();
  if (shell == nullptr) return false;
  const auto getLocation = Find<GetSpecialFolderLocation>(shell, "SHGetSpecialFolderLocation");
  const auto getPath = Find<GetPathFromIdList>(shell, "SHGetPathFromIDListA");
  if (getLocation == nullptr || getPath == nullptr) return false;

  LPITEMIDLIST desktop = nullptr;
  if (getLocation(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, &desktop) != S_OK) return false;
  const BOOL converted = getPath(desktop, folder);
  CoTaskMemFree(desktop);
  return converted != FALSE;
}

int DiscoverFolders() {
  if (!GetCommonDesktop(g_desktopFolder)) return 0;

  if (!GetExecutablePath(g_appFolder)) return 0;
  StripToFolder();

  if (!WriteSetting(g_appFolder, "AppFolder")) return 0;
  return WriteSetting(g_desktopFolder, "DesktopPath");
}
