#include <cstring>

#include "common/service_status.h"
#include "service/service.h"

namespace {

// After the dispatcher returns, ServiceMain may still be writing its last
// entry; the process waits for it this long at most.
const DWORD kFinalEntryWaitMs = 5000;

int RunSwitch(const char* argument) {
  if (_stricmp(argument, "-install") == 0) {
    if (!PlaceIsSafeToInstall()) return 1;
    KeepRecordForReinstall();
    if (UninstallService() == 1) InstallService();
    return 1;
  }
  if (_stricmp(argument, "-uninstall") == 0) {
    UninstallService();
    return 1;
  }
  if (_stricmp(argument, "-start") == 0) {
    StartInstalledService();
    return 1;
  }
  if (_stricmp(argument, "-stop") == 0) {
    StopRunningService();
    return 1;
  }
  return 0;
}

}  // namespace

int RunProcess(int argc, char** argv) {
  // First of all: nothing of the process may run before them.
  TurnOnProcessMitigations();
  g_statusHandle = nullptr;
  g_serviceStatus = {};
  g_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_serviceStatus.dwCurrentState = SERVICE_STOPPED;
  g_serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  // Before anything else runs: the shell, COM and the event log load
  // libraries on demand.
  RestrictLibrarySearch();

  if (!DiscoverFolders()) return 0;
  if (argc == 2 && RunSwitch(argv[1])) return 0;

  // The table's name field is not const in the headers; the dispatcher only reads it.
  const SERVICE_TABLE_ENTRYA serviceTable[] = {{const_cast<char*>(kServiceName), ServiceMain},
                                               {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(serviceTable)) {
    LogEvent("Register Service Main Function Error!");
    return 0;
  }
  const ULONGLONG deadline = GetTickCount64() + kFinalEntryWaitMs;
  while (!ServiceMainFinished() && GetTickCount64() < deadline) Sleep(10);
  return 0;
}
