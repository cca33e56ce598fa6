// What the service manager stores of the service after -install, and what
// the running service's token holds of it.
#include <windows.h>

#include <cstring>
#include <string>

#include "selftest/http_server.h"
#include "selftest/kit_pc.h"
#include "selftest/kit_report.h"
#include "selftest/scenarios.h"
#include "service/service.h"
#include "watcher/check_record.h"

namespace {

// The manager's stored answer for one kind of setting; false with the error
// where the manager does not keep it.
bool QueryConfig2(SC_HANDLE service, DWORD level, std::string* buffer, DWORD* error) {
  DWORD needed = 0;
  QueryServiceConfig2A(service, level, nullptr, 0, &needed);
  if (needed == 0) {
    *error = GetLastError();
    return false;
  }
  buffer->assign(needed, '\0');
  if (!QueryServiceConfig2A(service, level, reinterpret_cast<BYTE*>(&(*buffer)[0]), needed,
                            &needed)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

// The description's bytes after the round trip the manager gives them: to
// UTF-16 and back in this PC's ANSI code page, which on some code pages is
// not the bytes -install passed.
std::string AsTheManagerKeepsIt() {
  wchar_t wide[256];
  char back[512];
  if (MultiByteToWideChar(CP_ACP, 0, kServiceDescription, -1, wide, 256) == 0 ||
      WideCharToMultiByte(CP_ACP, 0, wide, -1, back, sizeof back, nullptr, nullptr) == 0) {
    return kServiceDescription;
  }
  return back;
}

void NotStored(const char* label, DWORD error) {
  if (PlatformLacksQuestion(error)) {
    Report(label, Verdict::kNotShown, "the service manager keeps no such setting here (error %lu)",
           error);
  } else {
    Report(label, Verdict::kFail, "the service manager's stored setting cannot be read (error %lu)",
           error);
  }
}

// The running service's token, as the service manager made it; nullptr
// with the error when it cannot be opened.
HANDLE ServiceToken(DWORD* error) {
  DWORD processId = 0;
  HANDLE process = nullptr;
  if (ServiceState(&processId) == SERVICE_RUNNING && processId != 0) {
    process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  }
  HANDLE token = nullptr;
  if (process == nullptr || !OpenProcessToken(process, TOKEN_QUERY, &token)) {
    *error = processId == 0 ? ERROR_SERVICE_NOT_ACTIVE : GetLastError();
    token = nullptr;
  }
  if (process != nullptr) CloseHandle(process);
  return token;
}

std::string TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD needed = 0;
  GetTokenInformation(token, kind, nullptr, 0, &needed);
  std::string buffer(needed, '\0');
  if (needed == 0 || !GetTokenInformation(token, kind, &buffer[0], needed, &needed)) {
    buffer.clear();
  }
  return buffer;
}

// The privileges the running service holds besides SeChangeNotifyPrivilege,
// which Windows never takes from a service; "?" when none can be read.
std::string ExtraPrivileges(HANDLE token) {
  const std::string buffer = TokenInformation(token, TokenPrivileges);
  if (buffer.empty()) return "?";
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  std::string extra;
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    LUID luid = privileges->Privileges[i].Luid;
    char name[64];
    DWORD length = sizeof name;
    if (!LookupPrivilegeNameA(nullptr, &luid, name, &length)) std::strcpy(name, "?");
    if (std::strcmp(name, kRequiredPrivileges) == 0) continue;
    extra += (extra.empty() ? "" : ", ") + std::string(name);
  }
  return extra;
}

// Whether the running service's token holds NT SERVICE\VexloService.
bool HoldsServiceSid(HANDLE token) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  char domain[64];
  DWORD domainSize = sizeof domain;
  SID_NAME_USE use;
  const std::string account = std::string("NT SERVICE\\") + kServiceName;
  if (!LookupAccountNameA(nullptr, account.c_str(), sid, &sidSize, domain, &domainSize, &use)) {
    return false;
  }
  const std::string buffer = TokenInformation(token, TokenGroups);
  if (buffer.empty()) return false;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if (EqualSid(groups->Groups[i].Sid, sid)) return true;
  }
  return false;
}

// What the running service holds of what the manager stores: its
// privileges and its service SID.
void CheckServiceToken(bool privilegesStored, bool sidStored) {
  if (!privilegesStored && !sidStored) return;
  DWORD error = 0;
  HANDLE token = ServiceToken(&error);
  if (token == nullptr) {
    if (privilegesStored) {
      Report("Process: privileges held", Verdict::kFail,
             "the running service's token cannot be read (error %lu)", error);
    }
    if (sidStored) {
      Report("Process: service SID held", Verdict::kFail,
             "the running service's token cannot be read (error %lu)", error);
    }
    return;
  }
  if (privilegesStored) {
    const std::string extra = ExtraPrivileges(token);
    Report("Process: privileges held", extra.empty() ? Verdict::kPass : Verdict::kFail, "%s%s",
           extra.empty() ? "SeChangeNotifyPrivilege alone" : "it also holds: ", extra.c_str());
  }
  if (sidStored) {
    const bool held = HoldsServiceSid(token);
    Report("Process: service SID held", held ? Verdict::kPass : Verdict::kFail, "%s",
           held ? "its token carries NT SERVICE\\VexloService"
                : "its token does not carry NT SERVICE\\VexloService");
  }
  CloseHandle(token);
}

void CheckStoredSettings(SC_HANDLE service) {
  std::string buffer;
  DWORD error = 0;
  if (!QueryConfig2(service, SERVICE_CONFIG_DESCRIPTION, &buffer, &error)) {
    NotStored("Install: description", error);
  } else {
    const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONA*>(buffer.data());
    const bool same = description->lpDescription != nullptr &&
                      std::strcmp(description->lpDescription, AsTheManagerKeepsIt().c_str()) == 0;
    Report("Install: description", same ? Verdict::kPass : Verdict::kFail,
           same ? "as -install sets it" : "not the service's own description");
  }
  if (!QueryConfig2(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &buffer, &error)) {
    NotStored("Install: delayed start", error);
  } else {
    const bool delayed =
        reinterpret_cast<const SERVICE_DELAYED_AUTO_START_INFO*>(buffer.data())->fDelayedAutostart;
    Report("Install: delayed start", delayed ? Verdict::kPass : Verdict::kFail,
           delayed ? "automatic start, delayed" : "automatic start without the delay");
  }
  bool privilegesStored = false;
  bool sidStored = false;
  if (!QueryConfig2(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &buffer, &error)) {
    NotStored("Install: required privileges", error);
  } else {
    privilegesStored = true;
    const char* list = reinterpret_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOA*>(buffer.data())
                           ->pmszRequiredPrivileges;
    const bool one = list != nullptr && std::strcmp(list, kRequiredPrivileges) == 0 &&
                     list[std::strlen(list) + 1] == '\0';
    Report("Install: required privileges", one ? Verdict::kPass : Verdict::kFail,
           one ? "SeChangeNotifyPrivilege alone" : "not the one privilege the service uses");
  }
  if (!QueryConfig2(service, SERVICE_CONFIG_SERVICE_SID_INFO, &buffer, &error)) {
    NotStored("Install: service SID", error);
  } else {
    sidStored = true;
    const DWORD type = reinterpret_cast<const SERVICE_SID_INFO*>(buffer.data())->dwServiceSidType;
    Report("Install: service SID",
           type == SERVICE_SID_TYPE_UNRESTRICTED ? Verdict::kPass : Verdict::kFail,
           "SID type %lu (1 is NT SERVICE\\VexloService, unrestricted)", type);
  }
  if (!QueryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &buffer, &error)) {
    NotStored("Install: failure actions", error);
  } else {
    const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(buffer.data());
    const bool restarts = actions->cActions == 3 && actions->dwResetPeriod == kFailureCountResetS &&
                          actions->lpsaActions[0].Type == SC_ACTION_RESTART &&
                          actions->lpsaActions[0].Delay == kRestartDelayMs &&
                          actions->lpsaActions[1].Type == SC_ACTION_RESTART &&
                          actions->lpsaActions[2].Type == SC_ACTION_NONE;
    Report("Install: failure actions", restarts ? Verdict::kPass : Verdict::kFail,
           restarts ? "restarted a minute after its first two failures in a day, then left"
                    : "not the recovery -install sets");
  }
  CheckServiceToken(privilegesStored, sidStored);
}

}  // namespace

bool CheckInstall() {
  // The service's first check comes on its fifth pass: -install has done
  // its work once that check came and the service still runs.
  const long before = DocumentRequests();
  const int code = RunServiceSwitch("-install");
  const bool running = WaitForServiceState(SERVICE_RUNNING, 60000);
  const bool checked = running &&
                       WaitFor([before] { return DocumentRequests() > before; }, 60000) &&
                       ServiceState() == SERVICE_RUNNING;
  if (checked) {
    Report("Install: -install", Verdict::kPass,
           "exit code %d, the service runs and made its first check", code);
  } else {
    SERVICE_STATUS_PROCESS status = {};
    const bool known = QueryServiceProcess(&status);
    CheckRecord record;
    const bool recorded = ReadCheckRecord(&record) && !record.outcome.empty();
    Report("Install: -install", Verdict::kFail,
           "exit code %d; %s; state %lu, exit code %lu, service exit code %lu; its record: %s",
           code,
           !known     ? "the service is not installed"
           : !running ? "the service did not start"
                      : "the service made no check",
           known ? status.dwCurrentState : 0UL, known ? status.dwWin32ExitCode : 0UL,
           known ? status.dwServiceSpecificExitCode : 0UL,
           recorded ? record.outcome.c_str() : "no check");
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager == nullptr ? nullptr : OpenServiceA(manager, kServiceName, SERVICE_QUERY_CONFIG);
  if (service != nullptr) {
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::string buffer(needed > 0 ? needed : 1, '\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(&buffer[0]);
    if (needed > 0 && QueryServiceConfigA(service, config, needed, &needed)) {
      const std::string quoted = "\"" + g_kit.exe + "\"";
      const bool path = config->lpBinaryPathName != nullptr &&
                        _stricmp(config->lpBinaryPathName, quoted.c_str()) == 0;
      Report("Install: image path", path ? Verdict::kPass : Verdict::kFail, "%s",
             config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : "none");
      const bool own = (config->dwServiceType & 0xFF) == SERVICE_WIN32_OWN_PROCESS &&
                       config->dwStartType == SERVICE_AUTO_START;
      Report("Install: type and start", own ? Verdict::kPass : Verdict::kFail,
             "type 0x%lx, start %lu (own process, automatic)", config->dwServiceType,
             config->dwStartType);
    }
    CheckStoredSettings(service);
    CloseServiceHandle(service);
  }
  if (manager != nullptr) CloseServiceHandle(manager);
  return checked;
}
