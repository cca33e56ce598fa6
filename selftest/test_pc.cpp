#include "selftest/test_pc.h"

#include <sddl.h>
#include <shlobj.h>
#include <winhttp.h>

#include <atomic>

#include "common/whole_file.h"
#include "fetch/system_libraries.h"
#include "service/service.h"

KitPaths g_kit;

namespace {

std::atomic<bool> s_interrupted{false};
HANDLE s_cleaned = nullptr;  // set once the PC is put back

// Names a process may load by name from its own folder first, where the
// loader is not limited: what a standard user would plant beside the exe.
const char* const kPlantedLibraries[] = {
    "shcore",  "version", "wininet", "urlmon",  "iphlpapi",  "dnsapi",   "userenv", "mpr",
    "uxtheme", "secur32", "msxml3",  "profapi", "cryptbase", "wtsapi32", "winhttp", "bcrypt"};

// The kit's own planted DLL, carried as a resource: loaded, it leaves
// "<its path>.loaded" beside itself.
std::string PlantedLibrary() {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(2), MAKEINTRESOURCEA(10));  // RT_RCDATA
  HGLOBAL loaded = found == nullptr ? nullptr : LoadResource(nullptr, found);
  const void* bytes = loaded == nullptr ? nullptr : LockResource(loaded);
  return bytes == nullptr
             ? std::string()
             : std::string(static_cast<const char*>(bytes), SizeofResource(nullptr, found));
}

struct SavedValue {
  bool present = false;
  DWORD type = 0;
  std::string bytes;
};

struct SavedProductKey {
  HKEY root = nullptr;
  const char* path = nullptr;
  bool present = false;
  SavedValue values[2];
};

const char* const kProductValues[] = {"AppFolder", "DesktopPath"};
SavedProductKey s_productKeys[2] = {{HKEY_CURRENT_USER, "Software\\Marvonel\\Vexlo", false, {}},
                                    {HKEY_USERS, ".DEFAULT\\Software\\Marvonel\\Vexlo", false, {}}};

// WinHTTP's own proxy setting as it was; only set functions are looked up
// (the service's binding lists what it calls, and it never sets one).
struct SavedProxy {
  bool saved = false;
  DWORD accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
  std::wstring proxy;
  std::wstring bypass;
  bool changed = false;
} s_proxy;

BOOL WINAPI OnControl(DWORD event) {
  s_interrupted = true;
  // Closing the console ends the process once this returns: the cleanup
  // gets what time Windows gives.
  if (event == CTRL_CLOSE_EVENT && s_cleaned != nullptr) WaitForSingleObject(s_cleaned, 4500);
  return TRUE;
}

void SaveProductKey(SavedProductKey* saved) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(saved->root, saved->path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
  saved->present = true;
  for (int i = 0; i < 2; ++i) {
    char bytes[1024];
    DWORD size = sizeof bytes;
    SavedValue& value = saved->values[i];
    if (RegQueryValueExA(key, kProductValues[i], nullptr, &value.type,
                         reinterpret_cast<BYTE*>(bytes), &size) == ERROR_SUCCESS) {
      value.present = true;
      value.bytes.assign(bytes, size);
    }
  }
  RegCloseKey(key);
}

void RestoreProductKey(const SavedProductKey& saved) {
  if (!saved.present) {
    RegDeleteKeyA(saved.root, saved.path);
    return;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(saved.root, saved.path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  for (int i = 0; i < 2; ++i) {
    const SavedValue& value = saved.values[i];
    if (value.present) {
      RegSetValueExA(key, kProductValues[i], 0, value.type,
                     reinterpret_cast<const BYTE*>(value.bytes.data()),
                     static_cast<DWORD>(value.bytes.size()));
    } else {
      RegDeleteValueA(key, kProductValues[i]);
    }
  }
  RegCloseKey(key);
}

using SetProxyCall = BOOL(WINAPI*)(WINHTTP_PROXY_INFO*);

SetProxyCall FindSetProxy() {
  HMODULE winHttp = GetModuleHandleW(L"winhttp.dll");
  return winHttp == nullptr ? nullptr
                            : reinterpret_cast<SetProxyCall>(reinterpret_cast<void*>(
                                  GetProcAddress(winHttp, "WinHttpSetDefaultProxyConfiguration")));
}

bool SaveProxy() {
  if (!BindSystemLibrary(SystemLibrary::kWinHttp)) return false;
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttpGetDefaultProxyConfiguration(&info)) return false;
  s_proxy.accessType = info.dwAccessType;
  if (info.lpszProxy != nullptr) s_proxy.proxy = info.lpszProxy;
  if (info.lpszProxyBypass != nullptr) s_proxy.bypass = info.lpszProxyBypass;
  if (info.lpszProxy != nullptr) GlobalFree(info.lpszProxy);
  if (info.lpszProxyBypass != nullptr) GlobalFree(info.lpszProxyBypass);
  s_proxy.saved = true;
  return true;
}

// Deletes a folder and what it holds; a link or junction inside loses its
// name only, never what it leads to.
void DeleteTree(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((folder + "*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) DeleteTree(path + "\\");
        RemoveDirectoryA(path.c_str());
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(folder.c_str());
}

// A small 16x16 icon of one colour, written as an .ico file.
std::string IconBytes(DWORD colour) {
  std::string ico;
  auto put16 = [&ico](unsigned v) {
    ico += static_cast<char>(v & 0xFF), ico += static_cast<char>(v >> 8);
  };
  auto put32 = [&](DWORD v) { put16(v & 0xFFFF), put16(v >> 16); };
  const DWORD image = 40 + 16 * 16 * 4 + 16 * 4;
  put16(0), put16(1), put16(1);                            // icon directory, one image
  ico += '\x10', ico += '\x10', ico += '\0', ico += '\0';  // 16x16, no palette
  put16(1), put16(32), put32(image), put32(6 + 16);        // planes, bits, size, offset
  put32(40), put32(16), put32(32), put16(1), put16(32);    // bitmap header, height doubled
  for (int i = 0; i < 6; ++i) put32(0);
  for (int i = 0; i < 16 * 16; ++i) put32(colour | 0xFF000000);
  ico.append(16 * 4, '\0');  // the AND mask: all shown
  return ico;
}

// Folders the run made above the client's, to go again at its end.
std::string s_madeParents[16];
int s_madeParentCount = 0;

// The folder and those above it that are missing. A service of the system
// account will run from there: each folder made is writable by
// administrators and the system alone, whatever it would inherit (under
// C:\ users may write into new folders), as the guide asks of a real install.
bool MakeFolders(const std::string& folder) {
  PSECURITY_DESCRIPTOR protectedFolder = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1,
          &protectedFolder, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, protectedFolder, FALSE};
  bool made = true;
  for (std::size_t at = folder.find('\\', 3); made && at != std::string::npos;
       at = folder.find('\\', at + 1)) {
    const std::string part = folder.substr(0, at);
    if (GetFileAttributesA(part.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    made = CreateDirectoryA(part.c_str(), &attributes) != FALSE;
    if (!made) break;
    if (part + "\\" != g_kit.client && part + "\\" != g_kit.service && s_madeParentCount < 16) {
      s_madeParents[s_madeParentCount++] = part;
    }
  }
  LocalFree(protectedFolder);
  return made;
}

}  // namespace

bool Interrupted() { return s_interrupted; }

void WatchForInterrupt() {
  s_cleaned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

std::string ServiceFile(const char* name) { return g_kit.service + name; }

int PlantedLibraries() {
  return static_cast<int>(sizeof kPlantedLibraries / sizeof *kPlantedLibraries);
}

std::string LoadedPlantedLibraries() {
  std::string loaded;
  for (const char* name : kPlantedLibraries) {
    if (GetFileAttributesA((ServiceFile(name) + ".dll.loaded").c_str()) !=
        INVALID_FILE_ATTRIBUTES) {
      loaded += (loaded.empty() ? "" : ", ") + std::string(name) + ".dll";
    }
  }
  return loaded;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool whole =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  CloseHandle(file);
  return whole;
}

std::string ReadBytes(const std::string& path) {
  std::string bytes;
  if (!ReadWholeFile(path.c_str(), &bytes)) bytes.clear();
  return bytes;
}

ULONGLONG LastWrite(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32 |
         data.ftLastWriteTime.dwLowDateTime;
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

bool WriteConfig(const std::string& url, int checkInterval, int markerInterval) {
  return WriteBytes(ServiceFile("config.xml"), "<config><check>" + std::to_string(checkInterval) +
                                                   "</check><marker>" +
                                                   std::to_string(markerInterval) +
                                                   "</marker><url>" + url + "</url></config>");
}

bool SaveThePc(std::string* why) {
  if (ServiceState() != 0) {
    *why = "VexloService is installed on this PC: a real install is never touched";
    return false;
  }
  if (GetFileAttributesA(g_kit.link.c_str()) != INVALID_FILE_ATTRIBUTES) {
    *why = g_kit.link + " exists: a real client's shortcut is never touched";
    return false;
  }
  if (GetFileAttributesA(g_kit.client.c_str()) != INVALID_FILE_ATTRIBUTES) {
    *why = g_kit.client + " exists: the kit lays out a folder of its own";
    return false;
  }
  if (!SaveProxy()) {
    *why = "WinHTTP's own proxy setting cannot be read, so it could not be put back";
    return false;
  }
  for (SavedProductKey& key : s_productKeys) SaveProductKey(&key);
  return true;
}

bool LayOut(const std::string& url, std::string* why) {
  if (!MakeFolders(g_kit.service)) {
    *why = "cannot make " + g_kit.service;
    return false;
  }
  if (!CopyFileA(g_kit.source.c_str(), g_kit.exe.c_str(), TRUE) ||
      !WriteBytes(ServiceFile("update.ico"), IconBytes(0xD02020)) ||
      !WriteBytes(ServiceFile("normal.ico"), IconBytes(0x20A020)) ||
      !WriteBytes(ServiceFile("version.xml"), "<version><v>1.0</v></version>") ||
      !WriteBytes(ServiceFile("update.ini"), "1") || !WriteConfig(url, 1, 1) ||
      !CopyFileA(g_kit.source.c_str(), (g_kit.client + "Vexlo.exe").c_str(), TRUE)) {
    *why = "cannot write the client's files in " + g_kit.service;
    return false;
  }
  const std::string planted = PlantedLibrary();
  for (const char* name : kPlantedLibraries) {
    if (planted.empty() || !WriteBytes(ServiceFile(name) + ".dll", planted)) {
      *why = "cannot plant the test library in " + g_kit.service;
      return false;
    }
  }
  return true;
}

bool SetMachineProxy(const std::wstring& proxy) {
  SetProxyCall set = FindSetProxy();
  if (set == nullptr || !s_proxy.saved) return false;
  std::wstring text = proxy;
  WINHTTP_PROXY_INFO info = {};
  info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  info.lpszProxy = &text[0];
  s_proxy.changed = true;
  if (set(&info)) return true;
  s_proxy.changed = false;
  return false;
}

bool RestoreMachineProxy() {
  if (!s_proxy.changed) return true;
  SetProxyCall set = FindSetProxy();
  if (set == nullptr) return false;
  std::wstring proxy = s_proxy.proxy;
  std::wstring bypass = s_proxy.bypass;
  const bool named = s_proxy.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  WINHTTP_PROXY_INFO info = {};
  // No proxy is written as the default, as the documentation asks.
  info.dwAccessType = named ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
  info.lpszProxy = proxy.empty() ? nullptr : &proxy[0];
  info.lpszProxyBypass = bypass.empty() ? nullptr : &bypass[0];
  if (!set(&info)) {
    if (named) return false;
    info.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    if (!set(&info)) return false;
  }
  // Read back: as it was.
  WINHTTP_PROXY_INFO now = {};
  if (!WinHttpGetDefaultProxyConfiguration(&now)) return false;
  const bool same = (now.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) == named &&
                    std::wstring(now.lpszProxy ? now.lpszProxy : L"") == s_proxy.proxy &&
                    std::wstring(now.lpszProxyBypass ? now.lpszProxyBypass : L"") == s_proxy.bypass;
  if (now.lpszProxy != nullptr) GlobalFree(now.lpszProxy);
  if (now.lpszProxyBypass != nullptr) GlobalFree(now.lpszProxyBypass);
  if (same) s_proxy.changed = false;
  return same;
}

bool PutThePcBack() {
  // The waits below serve the clean-up, which an interrupt asked for.
  s_interrupted = false;
  if (ServiceState() != 0) RunServiceSwitch("-uninstall");
  if (ServiceState() != 0) {
    // The exe could not remove it: the manager is asked directly.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager != nullptr) {
      if (SC_HANDLE service = OpenServiceA(manager, kServiceName, DELETE | SERVICE_STOP)) {
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        DeleteService(service);
        CloseServiceHandle(service);
      }
      CloseServiceHandle(manager);
    }
    WaitFor([] { return ServiceState() == 0; }, 30000);
  }
  const bool proxy = RestoreMachineProxy();
  for (const SavedProductKey& key : s_productKeys) RestoreProductKey(key);
  DeleteFileA(g_kit.link.c_str());
  // A virus scanner may hold a file it has just seen for a moment.
  WaitFor(
      [] {
        DeleteTree(g_kit.client);
        return GetFileAttributesA(g_kit.client.c_str()) == INVALID_FILE_ATTRIBUTES;
      },
      15000);
  while (s_madeParentCount > 0) RemoveDirectoryA(s_madeParents[--s_madeParentCount].c_str());
  const bool gone = ServiceState() == 0 &&
                    GetFileAttributesA(g_kit.link.c_str()) == INVALID_FILE_ATTRIBUTES &&
                    GetFileAttributesA(g_kit.client.c_str()) == INVALID_FILE_ATTRIBUTES;
  if (s_cleaned != nullptr) SetEvent(s_cleaned);
  return proxy && gone;
}
