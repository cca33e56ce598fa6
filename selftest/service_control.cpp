// The service as the kit drives it: its state through the service manager,
// and its exe run with one switch.
// clang-format off
#include "selftest/kit_pc.h"
#include <tlhelp32.h>
// clang-format on

#include "service/service.h"

namespace {

// A path as the file system names it: in full and, where the file is there,
// in its long form, so that a short (8.3) name or other letter case is the
// same file.
std::wstring FileSystemName(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) return path;
  wchar_t longForm[MAX_PATH];
  const DWORD longLength = GetLongPathNameW(full, longForm, MAX_PATH);
  return longLength != 0 && longLength < MAX_PATH ? longForm : full;
}

}  // namespace

DWORD ProcessRunningFrom(const std::string& exe) {
  wchar_t wide[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, exe.c_str(), -1, wide, MAX_PATH) <= 0) return 0;
  const std::wstring wanted = FileSystemName(wide);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  DWORD found = 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && found == 0;
       more = Process32NextW(snapshot, &entry)) {
    // Each process is asked for its image's full path: the snapshot's name
    // alone may be the short form the process was started by.
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    if (QueryFullProcessImageNameW(process, 0, image, &size) &&
        CompareStringOrdinal(FileSystemName(image).c_str(), -1, wanted.c_str(), -1, TRUE) ==
            CSTR_EQUAL) {
      found = entry.th32ProcessID;
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  return found;
}

DWORD ServiceState(DWORD* processId) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 0;
  DWORD state = 0;
  if (SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS)) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof status, &needed)) {
      state = status.dwCurrentState;
      if (processId != nullptr) *processId = status.dwProcessId;
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return state;
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
