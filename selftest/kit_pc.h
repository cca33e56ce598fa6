// What the kit lays out on the test PC, what it changes there, and how it
// puts everything back: a client folder of its own with the service beside
// it, WinHTTP's own proxy setting, the product key. Undone at the end of the
// run, after a failure and after Ctrl+C alike.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

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

// The journal (journal.cpp): what a run is about to change and every
// original value exactly as read, written through before each change, in a
// folder only administrators and the system can write. Each record is its
// kind and then its fields, bytes of any value.
using JournalRecord = std::vector<std::string>;
// Makes or checks the journal's folder and reads a journal an earlier run
// left (found). False, with why, for a folder or journal a standard user
// could have planted or redirected.
bool OpenJournal(bool* found, std::string* why);
const std::vector<JournalRecord>& JournalRecords();
std::string JournalPath();
// Appends a record and writes the journal through; false when it could not.
bool Journal(const JournalRecord& record);
// Deletes the journal once everything in it is put back.
bool CloseJournal();

// Who may change a folder (folder_rights.cpp). Empty when only the
// administrators, the system and the kit's own account may swap it (rename,
// delete or take it over, or delete what is in it); else who and how.
std::string WhoMaySwap(const std::string& folder);
// The folders that are there above the client's, each checked so.
bool ParentsAreSafe(const std::string& folder, std::string* why);
// Makes the folder writable by the administrators and the system alone, or
// checks that it is so; a link or junction is refused.
bool MakeAdminFolder(const std::string& folder, std::string* why);

// Finishes what a journal left by a cut-off run names, or says why it
// cannot (put_back.cpp). True when there was none or all is put back.
bool FinishEarlierRun(std::string* why);
// --put-back: from the journal alone, each thing said; the exit code.
int PutBackOnly();
// Refuses a real install or an unsafe folder, then journals what the run
// will change and the originals it will put back.
bool SaveThePc(std::string* why);

// WinHTTP's own proxy setting and the product key's values, journaled as
// they are before the run (machine_settings.cpp); false, with why, when the
// proxy setting cannot be read or is a cut-off run's leftover. A test PC
// whose proxy settings would carry 127.0.0.1 elsewhere is named.
bool SaveMachineSettings(std::string* why);
// The original proxy setting from the journal, for a closed console's
// handler; and whether the journal says the run set its own.
void LoadOriginalProxy();
bool ProxyWasSet();
// Puts the original proxy setting back and reads it back; true when it is.
bool PutProxyBack();
// Puts the product key's values and keys back; what is left, or empty.
std::string PutProductKeysBack();

// Lays out the client: the service exe, icons, config.xml pointing at url,
// version.xml with version 1.0, update.ini "1", and the kit's planted DLL
// beside the exe under names a process may load by name. Each folder made
// is journaled before it is made.
bool LayOut(const std::string& url, std::string* why);

// Puts back everything the journal names, each read back; what is left is
// named. True when nothing of the run is left.
bool PutThePcBack(std::string* left);

// WinHTTP's own proxy setting, through the documented call (journaled as
// set first, and marked as the kit's in its bypass list), and back exactly
// as SaveThePc found it (read back to be sure). error: the platform's error
// when the call itself failed, else 0.
bool SetMachineProxy(const std::wstring& proxy, DWORD* error);
bool RestoreMachineProxy();

// The service's exe with one switch; its exit code, or -1.
int RunServiceSwitch(const char* argument);

// config.xml for the service (takes effect at its next start).
bool WriteConfig(const std::string& url, int checkInterval, int markerInterval);

// The service's current state (SERVICE_RUNNING and the like; 0 when it is
// not installed) and its process id.
DWORD ServiceState(DWORD* processId = nullptr);
// The service manager's whole answer on the service's status; false when
// the service is not installed or cannot be queried.
bool QueryServiceProcess(SERVICE_STATUS_PROCESS* status);
// A process running from exe (compared as Windows compares paths): its id,
// or 0 when there is none.
DWORD ProcessRunningFrom(const std::string& exe);
// Waits until the state is reached or the bound passes.
bool WaitForServiceState(DWORD state, DWORD boundMs);

// How many planted DLLs there are, and the names of those that were loaded.
int PlantedLibraries();
int PlantedLibrariesPresent();
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
