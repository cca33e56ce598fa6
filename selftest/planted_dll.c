/* Stands in for a DLL that someone plants beside an executable: when it is
   loaded it leaves "<its own path>.loaded" beside itself. Built without the C
   runtime, so that it is small enough for the kit to carry, and loads
   wherever it is planted. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    static const char kSuffix[] = ".loaded";
    char path[MAX_PATH + sizeof kSuffix];
    const DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      for (DWORD i = 0; i < sizeof kSuffix; ++i) path[length + i] = kSuffix[i];
      HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
  }
  return TRUE;
}
