#include <shlobj.h>

#include <cstring>

#include "common/vexlo.h"
#include "service/service.h"

int StripToFolder() {
  char* lastBackslash = std::strrchr(g_appFolder, '\\');
  if (lastBackslash != nullptr) lastBackslash[1] = '\0';
  return 1;
}

int DiscoverFolders() {
  LPITEMIDLIST desktop = nullptr;
  if (SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, &desktop) != S_OK) {
    return 0;
  }
  const BOOL converted = SHGetPathFromIDListA(desktop, g_desktopFolder);
  CoTaskMemFree(desktop);
  if (!converted) return 0;

  // A path that fills the buffer was cut short (and under Wine is not even
  // terminated): never use it.
  const DWORD length = GetModuleFileNameA(nullptr, g_appFolder, kPathBufferSize);
  if (length == 0 || length >= static_cast<DWORD>(kPathBufferSize)) {
    g_appFolder[0] = '\0';
    return 0;
  }
  StripToFolder();

  if (!WriteSetting(g_appFolder, "AppFolder")) return 0;
  return WriteSetting(g_desktopFolder, "DesktopPath");
}
