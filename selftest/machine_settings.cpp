// What a run changes outside its own folder: WinHTTP's own proxy setting and
// the product key's values, saved before and put back after.
// clang-format off
#include "selftest/kit_pc.h"
#include <winhttp.h>
// clang-format on

#include "fetch/system_libraries.h"

namespace {

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

}  // namespace

bool SaveMachineSettings() {
  if (!SaveProxy()) return false;
  for (SavedProductKey& key : s_productKeys) SaveProductKey(&key);
  return true;
}

void RestoreProductKeys() {
  for (const SavedProductKey& key : s_productKeys) RestoreProductKey(key);
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
