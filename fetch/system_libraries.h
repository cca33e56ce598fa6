// The Windows libraries that are not known DLLs, loaded from the system
// folder by their full path before the first call into them. Once a library
// of that name is in the process, the binding on first use
// (cmake/DelayLoad.cmake) takes it rather than searching, so no Windows,
// with or without the 2011 loader update, looks beside the executable.
#pragma once

#include <cstddef>

enum class SystemLibrary { kWinHttp, kCng };

// Loads the library once (it then stays for the life of the process) and
// finds every function this program binds from it. False when the library
// or any of the functions is missing: the caller's check fails, where a
// binding on first use would have ended the process.
bool BindSystemLibrary(SystemLibrary library);

// The same for any library of the system folder and functions of it.
bool LoadSystemLibrary(const wchar_t* fileName, const char* const* functions, std::size_t count);
