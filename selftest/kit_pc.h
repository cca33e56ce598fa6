// What the kit lays out on the test PC, what it changes there, and how it
// puts everything back: a client folder of its own with the service beside
// it, WinHTTP's own proxy setting, the product key. Undone at the end of the
// run, after a failure and after Ctrl+C alike.
#pragma once

#include <windows.h>

#include <string>

struct KitPaths {
  std::string client;   // the client's folder, ending in a backslash
  std::string service;  // its Service folder, ending in a backslash
  std::string exe;      // the service's exe there
  std::string link;     // Vexlo.lnk on the all-users desktop
  std::string source;   // the VexloService.exe beside the kit
};

extern KitPaths g_kit;

// Set by Ctrl+C or a closed console: every wait ends and the run cleans up.
bool Interrupted();
void WatchForInterrupt();

// Saves what the run changes outside its own folder. False (and nothing
// saved) when a real install is there: the service, its shortcut, or the
// client folder itself.
bool SaveThePc(std::string* why);

// WinHTTP's own proxy setting and the product key's values, as they are
// before the run; false when the proxy setting cannot be read.
bool SaveMachineSettings();
void RestoreProductKeys();

// Lays out the client: the service exe, icons, config.xml pointing at url,
// version.xml with version 1.0, update.ini "1", and the kit's planted DLL
// beside the exe under names a process may load by name.
bool LayOut(const std::string& url, std::string* why);
// Removes the folders the lay-out made above the client's, innermost first.
void RemoveMadeParents();

// Puts back everything SaveThePc saved, removes the service, the shortcut
// and the client folder. True when nothing of the run is left.
bool PutThePcBack();

// WinHTTP's own proxy setting, through the documented call, and back exactly
// as SaveThePc found it (read back to be sure).
bool SetMachineProxy(const std::wstring& proxy);
bool RestoreMachineProxy();

// The service's exe with one switch; its exit code, or -1.
int RunServiceSwitch(const char* argument);

// config.xml for the service (takes effect at its next start).
bool WriteConfig(const std::string& url, int checkInterval, int markerInterval);

// The service's current state (SERVICE_RUNNING and the like; 0 when it is
// not installed) and its process id.
DWORD ServiceState(DWORD* processId = nullptr);
// The id of a process running from the exe (its path compared as the file
// system compares names), or 0 when there is none.
DWORD ProcessRunningFrom(const std::string& exe);
// Waits until the state is reached or the bound passes.
bool WaitForServiceState(DWORD state, DWORD boundMs);

// How many planted DLLs there are, and the names of those that were loaded.
int PlantedLibraries();
std::string LoadedPlantedLibraries();

// Files of the client folder, by name in the Service folder.
std::string ServiceFile(const char* name);
bool WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
ULONGLONG LastWrite(const std::string& path);  // 0 when missing

// Waits, polling, until condition() holds, the bound passes or the run is
// interrupted.
template <typename Condition>
bool WaitFor(Condition condition, DWORD boundMs) {
  const ULONGLONG deadline = GetTickCount64() + boundMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline || Interrupted()) return false;
    Sleep(100);
  }
}
