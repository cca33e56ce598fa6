#include "check/installed_service.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "service/service.h"

namespace {

using ServiceHandle = std::unique_ptr<SC_HANDLE__, decltype(&CloseServiceHandle)>;

}  // namespace

InstalledService QueryInstalledService() {
  InstalledService found;
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT), &CloseServiceHandle);
  if (!manager) {
    found.error = GetLastError();
    return found;
  }
  found.readable = true;
  ServiceHandle service(
      OpenServiceA(manager.get(), kServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS),
      &CloseServiceHandle);
  if (!service) {
    found.error = GetLastError();
    found.readable = found.error == ERROR_SERVICE_DOES_NOT_EXIST;
    return found;
  }
  found.installed = true;
  SERVICE_STATUS status = {};
  if (QueryServiceStatus(service.get(), &status)) found.state = status.dwCurrentState;

  DWORD needed = 0;
  QueryServiceConfigA(service.get(), nullptr, 0, &needed);
  if (needed > 0 && needed < 64 * 1024) {
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (QueryServiceConfigA(service.get(), config, needed, &needed)) {
      found.startType = config->dwStartType;
      if (config->lpBinaryPathName != nullptr) found.imagePath = config->lpBinaryPathName;
      if (config->lpServiceStartName != nullptr) found.account = config->lpServiceStartName;
    }
  }
  SERVICE_DELAYED_AUTO_START_INFO delayed = {};
  if (QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                           reinterpret_cast<LPBYTE>(&delayed), sizeof delayed, &needed)) {
    found.delayed = delayed.fDelayedAutostart != FALSE;
  }
  return found;
}

unsigned long SendCheckNow() {
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT), &CloseServiceHandle);
  if (!manager) return GetLastError();
  // The one right the request needs, which the service's default access rules
  // grant every user logged on at the PC.
  ServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_USER_DEFINED_CONTROL),
                        &CloseServiceHandle);
  if (!service) return GetLastError();
  // Filled in for some errors only, and with garbage under Wine: not looked at.
  SERVICE_STATUS status = {};
  if (!ControlService(service.get(), kCheckNowControl, &status)) return GetLastError();
  return 0;
}

const char* ServiceStateName(unsigned long state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "starting";
    case SERVICE_STOP_PENDING:
      return "stopping";
    case SERVICE_RUNNING:
      return "running";
    default:
      return "in another state";
  }
}

const char* StartTypeName(unsigned long startType) {
  switch (startType) {
    case SERVICE_AUTO_START:
      return "automatic";
    case SERVICE_DEMAND_START:
      return "manual";
    case SERVICE_DISABLED:
      return "disabled";
    default:
      return "another start type";
  }
}
