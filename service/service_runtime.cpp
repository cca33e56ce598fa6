#include <atomic>

#include "common/service_status.h"
#include "common/vexlo.h"
#include "service/service.h"
#include "watcher/watcher.h"

namespace {

// Signalled on stop or shutdown; nothing waits on it, it lives as long as the process.
HANDLE g_stopEvent = nullptr;
// Set by the handler before it stops the watcher, so that a stop that comes
// while the folders are still being read back keeps the watcher from starting.
std::atomic<bool> g_stopRequested{false};
std::atomic<bool> g_serviceMainFinished{false};

void ReportStatus() { SetServiceStatus(g_statusHandle, &g_serviceStatus); }

void SetState(DWORD state) {
  g_serviceStatus.dwCurrentState = state;
  ReportStatus();
}

}  // namespace

void RunService() {
  PathBuffer appFolder = "";
  PathBuffer desktopFolder = "";
  if (!ReadSetting("AppFolder", appFolder) || !ReadSetting("DesktopPath", desktopFolder)) {
    SetState(SERVICE_STOPPED);
    return;
  }
  // The run flag goes up before the stop request is looked at: a handler that
  // marks the stop after this look clears the flag after it was set.
  g_runFlag = 1;
  if (!g_stopRequested) RunWatcher(desktopFolder, appFolder);
  SetState(SERVICE_STOPPED);
  LogEvent("Service stopped");
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  g_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
  LogEvent("ServiceMain");
  // Windows 7 without its 2011 loader update: libraries that WinHTTP and the
  // shell load by name are looked for in the service's folder first, which
  // is safe only while administrators alone may write there.
  if (!LibrarySearchLimited()) {
    LogEvent("Library loads are not limited to the system folder: install KB2533623");
  }

  g_statusHandle = RegisterServiceCtrlHandlerA(kServiceName, ServiceCtrlHandler);
  if (g_statusHandle == nullptr) {
    LogEvent("Handler not installed");
    g_serviceMainFinished = true;
    return;
  }
  ReportStatus();

  g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (g_stopEvent == nullptr) {
    SetState(SERVICE_STOPPED);
    LogEvent("Failure to start service");
    g_serviceMainFinished = true;
    return;
  }

  g_serviceStatus.dwWin32ExitCode = 0;
  g_serviceStatus.dwCheckPoint = 0;
  g_serviceStatus.dwWaitHint = 0;
  SetState(SERVICE_RUNNING);

  RunService();
  g_serviceMainFinished = true;
}

void WINAPI ServiceCtrlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      // Stop pending goes out before the stop is set in motion, so that the
      // manager never sees a running service that is already ending.
      SetState(SERVICE_STOP_PENDING);
      if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
      LogEvent("want to stopped Service");
      g_stopRequested = true;
      StopWatcher();
      return;
    case kCheckNowControl:
      // Only while the service runs: a request that comes during a stop is
      // dropped. Nothing but the time of the next check changes, so an asked
      // check can only make the service check sooner.
      if (!g_stopRequested && g_serviceStatus.dwCurrentState == SERVICE_RUNNING) AskForCheck();
      return;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
      return;
    default:
      LogEvent("Bad service request");
      return;
  }
}

bool ServiceMainFinished() { return g_serviceMainFinished; }
