// The service as the kit drives it: its state through the service manager,
// and its exe run with one switch.
// clang-format off
#include "selftest/kit_pc.h"
#include <tlhelp32.h>
// clang-format on

#include "service/service.h"
#include "shortcut/shortcut.h"

bool QueryServiceProcess(SERVICE_STATUS_PROCESS* status) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  bool answered = false;
  if (SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS)) {
    DWORD needed = 0;
    answered =
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                             sizeof *status, &needed) != FALSE;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return answered;
}

DWORD ServiceState(DWORD* processId) {
  SERVICE_STATUS_PROCESS status = {};
  if (!QueryServiceProcess(&status)) return 0;
  if (processId != nullptr) *processId = status.dwProcessId;
  return status.dwCurrentState;
}

DWORD ProcessRunningFrom(const std::string& exe) {
  wchar_t wideExe[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, exe.c_str(), -1, wideExe, MAX_PATH) == 0) return 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  DWORD found = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && found == 0;
       more = Process32NextW(snapshot, &entry)) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    // A folder given with --folder may make the path longer than MAX_PATH.
    static wchar_t image[32768];
    DWORD length = sizeof image / sizeof *image;
    if (QueryFullProcessImageNameW(process, 0, image, &length) &&
        SameShortcutPath(image, wideExe)) {
      found = entry.th32ProcessID;
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  return found;
}

bool WaitForServiceState(DWORD state, DWORD boundMs) {
  return WaitFor([state] { return ServiceState() == state; }, boundMs);
}

int RunServiceSwitch(const char* argument) {
  std::string command = "\"" + g_kit.exe + "\" " + argument;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(g_kit.exe.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, g_kit.service.c_str(), &startup, &process)) {
    return -1;
  }
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, 90000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
