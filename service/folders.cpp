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

int DiscoverFolders() {
  LPITEMIDLIST desktop = nullptr;
  if (SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, &desktop) != S_OK) {
    return 0;
  }
  const BOOL converted = SHGetPathFromIDListA(desktop, g_desktopFolder);
  CoTaskMemFree(desktop);
  if (!converted) return 0;

  if (!GetExecutablePath(g_appFolder)) return 0;
  StripToFolder();

  if (!WriteSetting(g_appFolder, "AppFolder")) return 0;
  return WriteSetting(g_desktopFolder, "DesktopPath");
}
