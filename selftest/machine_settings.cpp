// What a run changes outside its own folder: WinHTTP's own proxy setting and
// the product key's values. The originals go to the journal, exactly as
// read, before anything is changed; they are put back from there.
// clang-format off
#include "selftest/kit_pc.h"
#include <sddl.h>
#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "check/console.h"
#include "fetch/system_libraries.h"

namespace {

// Where the product key is saved today: the kit's account and the system
// account the service runs as.
struct ProductKey {
  const char* root;
  HKEY handle;
  const wchar_t* path;
  bool values;  // the key that holds the values; its parent is only made
};
const ProductKey kProductKeys[] = {
    {"HKCU", HKEY_CURRENT_USER, L"Software\\Marvonel\\Vexlo", true},
    {"HKCU", HKEY_CURRENT_USER, L"Software\\Marvonel", false},
    {"HKU", HKEY_USERS, L".DEFAULT\\Software\\Marvonel\\Vexlo", true},
    {"HKU", HKEY_USERS, L".DEFAULT\\Software\\Marvonel", false}};
const wchar_t* const kProductValues[] = {L"AppFolder", L"DesktopPath"};

// WinHTTP's own proxy setting as it was, kept apart from the journal for a
// closed console's handler, which runs on a thread of its own.
struct Proxy {
  bool saved = false;
  DWORD accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
  std::wstring proxy;
  std::wstring bypass;
} s_original;

// The setting as the kit sets it carries this name in its bypass list, so
// that a leftover of a killed run is told from a proxy of the PC's own on
// 127.0.0.1 (a local filter, a corporate agent). The kit's own requests
// never go to it.
const wchar_t kKitMark[] = L"vexlo-selftest-mark.invalid";

// The proxy setting and its original are changed from the main thread and,
// after a closed console, from the handler's: one at a time, and never set
// again once the run is interrupted.
SRWLOCK s_proxyLock = SRWLOCK_INIT;

std::string Bytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::wstring Text(const std::string& bytes) {
  std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
  return text;
}

HKEY Root(const std::string& name) {
  return name == "HKCU" ? HKEY_CURRENT_USER : name == "HKU" ? HKEY_USERS : nullptr;
}

// The kit's account's key by its SID under HKEY_USERS: the journal may be
// finished by another administrator, whose own HKEY_CURRENT_USER it must
// never touch.
std::wstring UserPath(const wchar_t* path) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  BYTE buffer[256];
  DWORD size = 0;
  std::wstring named;
  LPWSTR sid = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
    named = std::wstring(sid) + L"\\" + path;
    LocalFree(sid);
  }
  CloseHandle(token);
  return named;
}

// A value of any size and type, exactly as stored; false when it is not there.
bool ReadValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD* type,
               std::string* data) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  LONG result = ERROR_MORE_DATA;
  for (int tries = 0; result == ERROR_MORE_DATA && tries < 8; ++tries) {
    DWORD size = 0;
    result = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size);
    if (result != ERROR_SUCCESS) break;
    data->assign(size, '\0');
    result = RegQueryValueExW(key, name.c_str(), nullptr, type,
                              size == 0 ? nullptr : reinterpret_cast<BYTE*>(&(*data)[0]), &size);
    if (result == ERROR_SUCCESS) data->resize(size);
  }
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool KeyThere(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A user's hive under HKEY_USERS is there only while the user is logged on.
bool HiveLoaded(HKEY root, const std::wstring& path) {
  return root != HKEY_USERS || KeyThere(HKEY_USERS, path.substr(0, path.find(L'\\')));
}

using SetProxyCall = BOOL(WINAPI*)(WINHTTP_PROXY_INFO*);

SetProxyCall FindSetProxy() {
  HMODULE winHttp = GetModuleHandleW(L"winhttp.dll");
  return winHttp == nullptr ? nullptr
                            : reinterpret_cast<SetProxyCall>(reinterpret_cast<void*>(
                                  GetProcAddress(winHttp, "WinHttpSetDefaultProxyConfiguration")));
}

bool ReadProxy(Proxy* now) {
  if (!BindSystemLibrary(SystemLibrary::kWinHttp)) return false;
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttpGetDefaultProxyConfiguration(&info)) return false;
  now->accessType = info.dwAccessType;
  now->proxy = info.lpszProxy != nullptr ? info.lpszProxy : L"";
  now->bypass = info.lpszProxyBypass != nullptr ? info.lpszProxyBypass : L"";
  if (info.lpszProxy != nullptr) GlobalFree(info.lpszProxy);
  if (info.lpszProxyBypass != nullptr) GlobalFree(info.lpszProxyBypass);
  now->saved = true;
  return true;
}

bool SameProxy(const Proxy& a, const Proxy& b) {
  return (a.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) ==
             (b.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) &&
         a.proxy == b.proxy && a.bypass == b.bypass;
}

// Whether 127.0.0.1 goes direct past the named proxy. WinHTTP documents no
// bypass of its own for it, and "<local>" covers only names without a dot:
// only a list that names it (or every address) keeps the kit's traffic here.
bool BypassesLoopback(const std::wstring& bypass) {
  std::wstring list = L";" + bypass + L";";
  std::replace(list.begin(), list.end(), L' ', L';');
  for (const wchar_t* entry : {L"127.0.0.1", L"127.*", L"*"}) {
    if (list.find(L";" + std::wstring(entry) + L";") != std::wstring::npos) return true;
  }
  return false;
}

// The system account's Internet Options, as the service reads them there:
// the per-connection blob's flags name a proxy (2) or a script (4).
DWORD SystemAccountProxyFlags() {
  DWORD type = 0;
  std::string blob;
  if (!ReadValue(HKEY_USERS,
                 L".DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
                 L"Settings\\Connections",
                 L"DefaultConnectionSettings", &type, &blob) ||
      blob.size() < 12) {
    return 0;
  }
  DWORD flags = 0;
  std::memcpy(&flags, blob.data() + 8, sizeof flags);
  return flags & 6;
}

}  // namespace

bool SaveMachineSettings(std::string* why) {
  Proxy now;
  if (!ReadProxy(&now)) {
    *why = "WinHTTP's own proxy setting cannot be read, so it could not be put back";
    return false;
  }
  // A setting with the kit's mark and no journal is a run's leftover, never
  // the machine's own.
  const std::string named = Ansi(now.proxy);
  if (now.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY &&
      now.bypass.find(kKitMark) != std::wstring::npos) {
    *why = "WinHTTP's own proxy setting names " + named +
           ", as a run of this kit sets it, and no journal says what it was before. Set it as "
           "this PC needs (\"netsh winhttp reset proxy\" for none, as an administrator) and "
           "run again";
    return false;
  }
  if (now.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !BypassesLoopback(now.bypass)) {
    Say("Test PC: WinHTTP's own proxy setting sends the service's requests to %s, and its "
        "bypass list does not name 127.0.0.1: the kit's answers may not reach the service. "
        "Clear it with \"netsh winhttp reset proxy\" (or add 127.0.0.1 to its bypass list) "
        "and run again.\n",
        named.c_str());
  }
  if (SystemAccountProxyFlags() != 0) {
    Say("Test PC: the system account's Internet Options name a proxy or a proxy script "
        "(HKEY_USERS\\.DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet "
        "Settings\\Connections): the service may send the kit's requests there. Clear them "
        "for a run.\n");
  }
  if (!Journal({"proxy", std::to_string(now.accessType), Bytes(now.proxy), Bytes(now.bypass)})) {
    *why = "the journal cannot be written: " + JournalPath();
    return false;
  }
  AcquireSRWLockExclusive(&s_proxyLock);
  s_original = now;
  ReleaseSRWLockExclusive(&s_proxyLock);
  for (const ProductKey& key : kProductKeys) {
    const bool user = key.handle == HKEY_CURRENT_USER;
    const std::wstring place = user ? UserPath(key.path) : std::wstring(key.path);
    if (place.empty()) {
      *why = "the kit's own account cannot be named for the journal";
      return false;
    }
    const char* root = user ? "HKU" : key.root;
    const std::string path = Bytes(place);
    const bool there = KeyThere(key.handle, key.path);
    bool written = Journal({"key", root, path, there ? "1" : "0"});
    for (const wchar_t* name : kProductValues) {
      DWORD type = 0;
      std::string data;
      if (!written || !key.values) continue;
      const bool present = ReadValue(key.handle, key.path, name, &type, &data);
      written = Journal(
          {"value", root, path, Bytes(name), present ? "1" : "0", std::to_string(type), data});
    }
    if (!written) {
      *why = "the journal cannot be written: " + JournalPath();
      return false;
    }
  }
  return true;
}

void LoadOriginalProxy() {
  for (const JournalRecord& record : JournalRecords()) {
    if (record[0] != "proxy" || record.size() != 4) continue;
    s_original.saved = true;
    s_original.accessType = std::strtoul(record[1].c_str(), nullptr, 10);
    s_original.proxy = Text(record[2]);
    s_original.bypass = Text(record[3]);
  }
}

bool ProxyWasSet() {
  bool set = false;
  for (const JournalRecord& record : JournalRecords()) {
    if (record[0] == "proxy-set") set = true;
    if (record[0] == "proxy-back") set = false;
  }
  return set;
}

bool SetMachineProxy(const std::wstring& proxy, DWORD* error) {
  *error = 0;
  SetProxyCall set = FindSetProxy();
  AcquireSRWLockExclusive(&s_proxyLock);
  bool done = false;
  if (set != nullptr && s_original.saved && !Interrupted() && Journal({"proxy-set"})) {
    std::wstring text = proxy;
    std::wstring bypass = kKitMark;
    WINHTTP_PROXY_INFO info = {};
    info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = &text[0];
    info.lpszProxyBypass = &bypass[0];
    done = set(&info) != FALSE;
    if (!done) *error = GetLastError();
  }
  ReleaseSRWLockExclusive(&s_proxyLock);
  return done;
}

namespace {

bool PutProxyBackLocked() {
  Proxy now;
  if (!s_original.saved) return false;
  if (ReadProxy(&now) && SameProxy(now, s_original)) return true;
  SetProxyCall set = FindSetProxy();
  if (set == nullptr) return false;
  std::wstring proxy = s_original.proxy;
  std::wstring bypass = s_original.bypass;
  const bool named = s_original.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
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
  return ReadProxy(&now) && SameProxy(now, s_original);
}

}  // namespace

bool PutProxyBack() {
  AcquireSRWLockExclusive(&s_proxyLock);
  const bool back = PutProxyBackLocked();
  ReleaseSRWLockExclusive(&s_proxyLock);
  return back;
}

bool RestoreMachineProxy() {
  if (!ProxyWasSet()) return true;
  return PutProxyBack() && Journal({"proxy-back"});
}

std::string PutProductKeysBack() {
  std::string left;
  const std::vector<JournalRecord>& records = JournalRecords();
  // Values first, then the keys absent before, innermost first: no key the
  // run made is left behind, empty or not.
  for (const JournalRecord& record : records) {
    if (record[0] != "value" || record.size() != 7 || Root(record[1]) == nullptr) continue;
    const std::wstring path = Text(record[2]), name = Text(record[3]);
    if (!HiveLoaded(Root(record[1]), path)) {
      left += (left.empty() ? "" : ", ") + record[1] + "\\" + Ansi(path) +
              " (that account is not logged on: run --put-back as it)";
      continue;
    }
    const bool present = record[4] == "1";
    const DWORD type = std::strtoul(record[5].c_str(), nullptr, 10);
    HKEY key = nullptr;
    if (RegOpenKeyExW(Root(record[1]), path.c_str(), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      if (present) {
        RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(record[6].data()),
                       static_cast<DWORD>(record[6].size()));
      } else {
        RegDeleteValueW(key, name.c_str());
      }
      RegCloseKey(key);
    }
    DWORD nowType = 0;
    std::string data;
    const bool there = ReadValue(Root(record[1]), path, name, &nowType, &data);
    if (there != present || (present && (nowType != type || data != record[6]))) {
      left += (left.empty() ? "" : ", ") + record[1] + "\\" + Ansi(path) + " " + Ansi(name);
    }
  }
  for (const JournalRecord& record : records) {
    if (record[0] != "key" || record.size() != 4 || Root(record[1]) == nullptr ||
        record[3] != "0") {
      continue;
    }
    const std::wstring path = Text(record[2]);
    if (!HiveLoaded(Root(record[1]), path)) continue;  // named with its values
    RegDeleteKeyW(Root(record[1]), path.c_str());
    if (KeyThere(Root(record[1]), path)) {
      left += (left.empty() ? "" : ", ") + record[1] + "\\" + Ansi(path);
    }
  }
  return left;
}
