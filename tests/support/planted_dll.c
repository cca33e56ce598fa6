/* Stands in for a DLL that someone plants beside an executable: when it is
   loaded it leaves "<its own path>.loaded" beside itself. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    static const char kSuffix[] = ".loaded";
    char path[MAX_PATH + sizeof kSuffix] = {0};
    const DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      CopyMemory(path + length, kSuffix, sizeof kSuffix);
      HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
  }
  return TRUE;
}
