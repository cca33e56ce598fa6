// Reads what the end-to-end tests check from the service control manager,
// the registry and shortcut files, and prints it as plain lines.
//   probe state                 current state number, or "missing"
//   probe config                the service's configuration
//   probe control CODE [COUNT]  sends a control code (COUNT times, 100 ms apart); "ok", or
//                                   "error N" for the first that failed
//   probe registry              the product key's two values
//   probe link PATH             the shortcut's icon location and index
//   probe hold PATH SECONDS     opens PATH with no sharing, prints "held", keeps it open
//   probe hold-shared PATH SECONDS   the same for reading and writing, sharing reading only
//   probe hold-service SECONDS  keeps a handle to the service open, as the Services console
//                                   does; prints "held"
//   probe trust DERFILE         adds a CA certificate to the machine's Root store; "ok"
//   probe version PATH          the version resource's names and numbers of an executable
//   probe short PATH            the path in its short (8.3) form
//   probe record                the service key's last write time, in 100 ns units, or
//                                   "missing"
//   probe machine-proxy HOST:PORT|none [BYPASS]   WinHTTP's own proxy setting, as "netsh
//                                   winhttp set proxy" writes it (none: direct); "ok"
//   probe account-proxy HOST:PORT   a manual proxy in this account's Internet Options, in
//                                   both forms Windows writes; "ok"
//   probe account-script URL        a proxy script address there instead; "ok"
//   probe account-proxy-and-script HOST:PORT URL   both, as a policy often sets them; "ok"
// Run with any other command line (as a program planted where the service
// manager might run it instead of the service), it leaves "<its path>.ran".
#include <comdef.h>
#include <shlobj.h>
#include <wincrypt.h>
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

_COM_SMARTPTR_TYPEDEF(IShellLinkA, IID_IShellLinkA);
_COM_SMARTPTR_TYPEDEF(IPersistFile, IID_IPersistFile);

std::string Hex(const char* text) {
  std::string hex;
  char byte[3];
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    std::snprintf(byte, sizeof byte, "%02x", *p);
    hex += byte;
  }
  return hex;
}

int WithService(DWORD access, int (*action)(SC_HANDLE, const char*), const char* argument) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    std::printf("error %lu\n", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceA(manager, "VexloService", access);
  if (service == nullptr) {
    std::printf("missing\n");
    CloseServiceHandle(manager);
    return 0;
  }
  const int result = action(service, argument);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

int PrintState(SC_HANDLE service, const char*) {
  SERVICE_STATUS status;
  if (!QueryServiceStatus(service, &status)) {
    std::printf("error %lu\n", GetLastError());
    return 1;
  }
  std::printf("%lu\n", status.dwCurrentState);
  return 0;
}

int PrintConfig(SC_HANDLE service, const char*) {
  static char buffer[8192];
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
  if (!QueryServiceConfigA(service, config, sizeof buffer, &needed)) {
    std::printf("error %lu\n", GetLastError());
    return 1;
  }
  std::printf("type=0x%lx\nstart=%lu\nerror=%lu\npath=%s\ndependencies=%s\naccount=%s\n",
              config->dwServiceType, config->dwStartType, config->dwErrorControl,
              config->lpBinaryPathName,
              config->lpDependencies ? Hex(config->lpDependencies).c_str() : "(none)",
              config->lpServiceStartName ? config->lpServiceStartName : "(none)");
  static char descriptionBuffer[8192];
  auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(descriptionBuffer);
  if (QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION,
                           reinterpret_cast<BYTE*>(descriptionBuffer), sizeof descriptionBuffer,
                           &needed) &&
      description->lpDescription != nullptr) {
    std::printf("description=%s\n", Hex(description->lpDescription).c_str());
  }
  // "restart/60000,restart/60000,none/0 reset=86400", or why there is none
  // (Wine 8 stores no recovery actions: its query fails).
  static char recoveryBuffer[8192];
  auto* recovery = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(recoveryBuffer);
  if (QueryServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS,
                           reinterpret_cast<BYTE*>(recoveryBuffer), sizeof recoveryBuffer,
                           &needed)) {
    std::string actions;
    for (DWORD i = 0; i < recovery->cActions; ++i) {
      const SC_ACTION& action = recovery->lpsaActions[i];
      actions += i ? "," : "";
      actions += action.Type == SC_ACTION_RESTART ? "restart"
                 : action.Type == SC_ACTION_NONE  ? "none"
                                                  : "other";
      actions += "/" + std::to_string(action.Delay);
    }
    std::printf("recovery=%s reset=%lu\n", actions.c_str(), recovery->dwResetPeriod);
  } else {
    std::printf("recovery=unavailable %lu\n", GetLastError());
  }
  // The rest as "name=value", or "name=unavailable ERROR" where the platform
  // stores no such setting (Wine 8).
  static char extra[8192];
  if (QueryServiceConfig2A(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                           reinterpret_cast<BYTE*>(extra), sizeof extra, &needed)) {
    std::printf("delayed=%d\n",
                reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(extra)->fDelayedAutostart);
  } else {
    std::printf("delayed=unavailable %lu\n", GetLastError());
  }
  if (QueryServiceConfig2A(service, SERVICE_CONFIG_SERVICE_SID_INFO, reinterpret_cast<BYTE*>(extra),
                           sizeof extra, &needed)) {
    std::printf("sid=%lu\n", reinterpret_cast<SERVICE_SID_INFO*>(extra)->dwServiceSidType);
  } else {
    std::printf("sid=unavailable %lu\n", GetLastError());
  }
  if (QueryServiceConfig2A(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO,
                           reinterpret_cast<BYTE*>(extra), sizeof extra, &needed)) {
    std::string names;
    const char* name =
        reinterpret_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(extra)->pmszRequiredPrivileges;
    for (; name != nullptr && *name != '\0'; name += std::strlen(name) + 1) {
      names += (names.empty() ? "" : ",") + std::string(name);
    }
    std::printf("privileges=%s\n", names.c_str());
  } else {
    std::printf("privileges=unavailable %lu\n", GetLastError());
  }
  return 0;
}

int s_controlCount = 1;

int SendControl(SC_HANDLE service, const char* code) {
  SERVICE_STATUS status;
  for (int i = 0; i < s_controlCount; ++i) {
    if (i > 0) Sleep(100);
    if (!ControlService(service, static_cast<DWORD>(std::strtoul(code, nullptr, 10)), &status)) {
      std::printf("error %lu\n", GetLastError());
      return 0;
    }
  }
  std::printf("ok\n");
  return 0;
}

int PrintRegistry() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Marvonel\\Vexlo", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    std::printf("missing\n");
    return 0;
  }
  for (const char* name : {"AppFolder", "DesktopPath"}) {
    char value[1024] = "";
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
        ERROR_SUCCESS) {
      std::printf("%s=%s\n%s.type=%lu\n", name, value, name, type);
    }
  }
  RegCloseKey(key);
  return 0;
}

int PrintLink(const char* path) {
  CoInitialize(nullptr);
  int result = 1;
  {
    IShellLinkAPtr link;
    IPersistFilePtr file;
    wchar_t widePath[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH);
    if (SUCCEEDED(link.CreateInstance(CLSID_ShellLink)) &&
        SUCCEEDED(link.QueryInterface(IID_IPersistFile, &file)) &&
        SUCCEEDED(file->Load(widePath, STGM_READ))) {
      char icon[MAX_PATH] = "";
      int index = -1;
      link->GetIconLocation(icon, sizeof icon, &index);
      std::printf("icon=%s\nindex=%d\n", icon, index);
      result = 0;
    } else {
      std::printf("unreadable\n");
    }
  }
  CoUninitialize();
  return result;
}

int HoldFile(const char* path, const char* seconds, DWORD access, DWORD sharing) {
  HANDLE file =
      CreateFileA(path, access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("error %lu\n", GetLastError());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::strtoul(seconds, nullptr, 10)) * 1000);
  CloseHandle(file);
  return 0;
}

int HoldService(SC_HANDLE, const char* seconds) {
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::strtoul(seconds, nullptr, 10)) * 1000);
  return 0;
}

int TrustCertificate(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::printf("unreadable\n");
    return 1;
  }
  std::string der;
  char chunk[4096];
  std::size_t read;
  while ((read = std::fread(chunk, 1, sizeof chunk, file)) > 0) der.append(chunk, read);
  std::fclose(file);
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (store == nullptr) {
    std::printf("error %lu\n", GetLastError());
    return 1;
  }
  // Without the commit the change does not reach other processes.
  const bool added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                      reinterpret_cast<const BYTE*>(der.data()),
                                                      static_cast<DWORD>(der.size()),
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr) &&
                     CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  if (added) {
    std::printf("ok\n");
  } else {
    std::printf("error %lu\n", GetLastError());
  }
  CertCloseStore(store, 0);
  return added ? 0 : 1;
}

int PrintVersion(const char* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  std::string data(size, '\0');
  if (size == 0 || !GetFileVersionInfoA(path, 0, size, &data[0])) {
    std::printf("none\n");
    return 1;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
    std::printf("fixed=%u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                LOWORD(fixed->dwFileVersionLS));
  }
  for (const char* name : {"ProductName", "FileDescription", "FileVersion", "ProductVersion"}) {
    char* value = nullptr;
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) {
      std::printf("%s=%s\n", name, value);
    }
  }
  return 0;
}

int SetMachineProxy(const char* proxy, const char* bypass) {
  std::wstring wide(proxy, proxy + std::strlen(proxy));
  std::wstring wideBypass(bypass, bypass + std::strlen(bypass));
  WINHTTP_PROXY_INFO info = {};
  info.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
  if (std::strcmp(proxy, "none") != 0) {
    info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = &wide[0];
    if (!wideBypass.empty()) info.lpszProxyBypass = &wideBypass[0];
  }
  if (!WinHttpSetDefaultProxyConfiguration(&info)) {
    std::printf("error %lu\n", GetLastError());
    return 1;
  }
  std::printf("ok\n");
  return 0;
}

// What Internet Options writes for a manual proxy or a script address: the
// per-connection blob that WinHTTP reads (version, counter, flags: direct |
// proxy | script, then the proxy, an empty bypass list and the script
// address, each with its length), and the two values that the older stack
// reads for a manual proxy.
int SetAccountProxy(const char* proxy, const char* script) {
  const DWORD length = static_cast<DWORD>(std::strlen(proxy));
  std::string blob;
  auto put = [&blob](DWORD value) { blob.append(reinterpret_cast<const char*>(&value), 4); };
  put(0x46);
  put(1);
  put(0x1 | (length ? 0x2 : 0) | (*script ? 0x4 : 0));
  put(length);
  blob += proxy;
  put(0);
  put(static_cast<DWORD>(std::strlen(script)));
  blob += script;
  blob.append(32, '\0');
  HKEY key;
  const char* settings = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  if (RegCreateKeyExA(HKEY_CURRENT_USER, settings, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    std::printf("error\n");
    return 1;
  }
  const DWORD enable = length ? 1 : 0;
  LONG result = RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&enable), sizeof enable);
  if (result == ERROR_SUCCESS) {
    result = RegSetValueExA(key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(proxy),
                            length + 1);
  }
  RegCloseKey(key);
  const std::string connections = std::string(settings) + "\\Connections";
  if (result == ERROR_SUCCESS &&
      RegCreateKeyExA(HKEY_CURRENT_USER, connections.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      &key, nullptr) == ERROR_SUCCESS) {
    result =
        RegSetValueExA(key, "DefaultConnectionSettings", 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()));
    RegCloseKey(key);
  }
  std::printf(result == ERROR_SUCCESS ? "ok\n" : "error\n");
  return result == ERROR_SUCCESS ? 0 : 1;
}

void LeaveTrace() {
  char path[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  char tracePath[MAX_PATH + 8];
  std::snprintf(tracePath, sizeof tracePath, "%s.ran", path);
  if (std::FILE* trace = std::fopen(tracePath, "w")) {
    std::fputs(GetCommandLineA(), trace);
    std::fclose(trace);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "state") return WithService(SERVICE_QUERY_STATUS, PrintState, nullptr);
  if (command == "config") return WithService(SERVICE_QUERY_CONFIG, PrintConfig, nullptr);
  if (command == "control" && (argc == 3 || argc == 4)) {
    if (argc == 4) s_controlCount = std::atoi(argv[3]);
    return WithService(SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL,
                       SendControl, argv[2]);
  }
  if (command == "registry") return PrintRegistry();
  if (command == "link" && argc == 3) return PrintLink(argv[2]);
  if (command == "hold" && argc == 4) return HoldFile(argv[2], argv[3], GENERIC_READ, 0);
  if (command == "hold-shared" && argc == 4) {
    return HoldFile(argv[2], argv[3], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
  }
  if (command == "hold-service" && argc == 3) {
    return WithService(SERVICE_QUERY_STATUS, HoldService, argv[2]);
  }
  if (command == "trust" && argc == 3) return TrustCertificate(argv[2]);
  if (command == "version" && argc == 3) return PrintVersion(argv[2]);
  if (command == "record" && argc == 2) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VexloService", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
      std::printf("missing\n");
      return 0;
    }
    FILETIME written = {};
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, &written);
    RegCloseKey(key);
    std::printf("%llu\n", static_cast<unsigned long long>(written.dwHighDateTime) << 32 |
                              written.dwLowDateTime);
    return 0;
  }
  if (command == "short" && argc == 3) {
    char path[MAX_PATH];
    const DWORD length = GetShortPathNameA(argv[2], path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    std::printf("%s\n", path);
    return 0;
  }
  if (command == "machine-proxy" && argc == 3) return SetMachineProxy(argv[2], "");
  if (command == "machine-proxy" && argc == 4) return SetMachineProxy(argv[2], argv[3]);
  if (command == "account-proxy" && argc == 3) return SetAccountProxy(argv[2], "");
  if (command == "account-script" && argc == 3) return SetAccountProxy("", argv[2]);
  if (command == "account-proxy-and-script" && argc == 4) return SetAccountProxy(argv[2], argv[3]);
  LeaveTrace();
  std::fprintf(stderr,
               "usage: probe state|config|control CODE|registry|link PATH|hold PATH SECONDS|trust "
               "DERFILE|version PATH|"
               "machine-proxy HOST:PORT|account-proxy HOST:PORT|account-script URL\n");
  return 2;
}
