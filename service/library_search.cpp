#include "service/service.h"

namespace {

// Looked up rather than linked: Windows 7 without its 2011 loader update
// lacks it, and the service must still start there.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

bool s_limited = false;

}  // namespace

int RestrictLibrarySearch() {
  // The current directory drops out of the search in any case.
  SetDllDirectoryA("");
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return 0;
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  s_limited = setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return s_limited ? 1 : 0;
}

bool LibrarySearchLimited() { return s_limited; }
