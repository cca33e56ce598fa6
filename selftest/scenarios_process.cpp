// The process rules, read back from the running service.
#include <windows.h>

#include "selftest/kit_pc.h"
#include "selftest/kit_report.h"
#include "selftest/scenarios.h"

namespace {

// The rules the kit can read back, as the platform answers for the kit's
// own process first: a platform that accepts a rule but does not report it
// cannot show the service's either.
using GetMitigationCall = BOOL(WINAPI*)(HANDLE, PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
using SetMitigationCall = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

// The service runs as the system account: an administrator reads its
// process with the debug privilege, which an elevated token holds but has
// not turned on.
void EnableDebugPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
  }
  CloseHandle(token);
}

DWORD WindowsBuild() {
  using GetVersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const auto get = ntdll == nullptr ? nullptr
                                    : reinterpret_cast<GetVersionCall>(reinterpret_cast<void*>(
                                          GetProcAddress(ntdll, "RtlGetVersion")));
  if (get == nullptr || get(&version) != 0) return 0;
  return version.dwMajorVersion >= 10 ? version.dwBuildNumber : 0;
}

}  // namespace

void CheckMitigations() {
  const char* labels[] = {"Process: extension points", "Process: image loads",
                          "Process: child processes"};
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const auto get = reinterpret_cast<GetMitigationCall>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "GetProcessMitigationPolicy")));
  const auto set = reinterpret_cast<SetMitigationCall>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessMitigationPolicy")));
  if (get == nullptr || set == nullptr) {
    for (const char* label : labels) {
      Report(label, Verdict::kNotShown, "this Windows has no process rules (Windows 7)");
    }
    return;
  }
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY own = {};
  own.Flags = 0x1;
  set(ProcessExtensionPointDisablePolicy, &own, sizeof own);
  own.Flags = 0;
  if (!get(GetCurrentProcess(), ProcessExtensionPointDisablePolicy, &own, sizeof own) ||
      own.Flags == 0) {
    for (const char* label : labels) {
      Report(label, Verdict::kNotShown, "this platform accepts the rules but does not report them");
    }
    return;
  }
  // The image-load rules came with Windows 10, and its page names no build
  // for each: the kit asks this Windows which it takes, on its own process
  // (where none of them hinders it), and expects those of the service.
  DWORD imageRules = 0;
  for (DWORD rule : {0x1UL, 0x2UL, 0x4UL}) {
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY probe = {};
    probe.Flags = imageRules | rule;
    if (set(ProcessImageLoadPolicy, &probe, sizeof probe)) imageRules |= rule;
  }
  DWORD processId = 0;
  const DWORD state = ServiceState(&processId);
  if (state != SERVICE_RUNNING) {
    for (const char* label : labels) {
      Report(label, Verdict::kFail, "the service is not running (state %lu)", state);
    }
    return;
  }
  EnableDebugPrivilege();
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (process == nullptr) {
    const DWORD error = GetLastError();
    for (const char* label : labels) {
      Report(label, Verdict::kFail, "the service's process cannot be opened (error %lu)", error);
    }
    return;
  }
  struct Rule {
    PROCESS_MITIGATION_POLICY policy;
    DWORD flags;      // what the service must hold here; 0: this Windows has none
    const char* why;  // why none
  } rules[] = {{ProcessExtensionPointDisablePolicy, 0x1, ""},
               {ProcessImageLoadPolicy, imageRules, "this Windows takes none of the image rules"},
               {ProcessChildProcessPolicy, WindowsBuild() >= 16299 ? 0x1UL : 0UL,
                "this Windows predates the rule (Windows 10 1709)"}};
  for (int i = 0; i < 3; ++i) {
    DWORD flags = 0;  // each policy is one DWORD of flags
    if (rules[i].flags == 0) {
      Report(labels[i], Verdict::kNotShown, "%s", rules[i].why);
    } else if (!get(process, rules[i].policy, &flags, sizeof flags)) {
      const DWORD error = GetLastError();
      Report(labels[i], PlatformLacksQuestion(error) ? Verdict::kNotShown : Verdict::kFail,
             "cannot be read (error %lu)", error);
    } else {
      const bool on = (flags & rules[i].flags) == rules[i].flags;
      Report(labels[i], on ? Verdict::kPass : Verdict::kFail, "flags 0x%lx, 0x%lx expected here",
             flags, rules[i].flags);
    }
  }
  CloseHandle(process);
}
