#include <windows.h>
#include <winhttp.h>

#include <memory>

#include "fetch/winhttp_request.h"

namespace {

// WinHTTP hands its strings out in GlobalAlloc'ed memory.
struct GlobalString {
  wchar_t* text = nullptr;
  ~GlobalString() {
    if (text != nullptr) GlobalFree(text);
  }
};

std::wstring Text(const wchar_t* text) { return text == nullptr ? std::wstring() : text; }

bool NamedProxy(const WINHTTP_PROXY_INFO& info, std::wstring* proxy, std::wstring* bypass) {
  if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || info.lpszProxy == nullptr ||
      *info.lpszProxy == L'\0') {
    return false;
  }
  *proxy = info.lpszProxy;
  *bypass = Text(info.lpszProxyBypass);
  return true;
}

// A script address or automatic detection of the account's Internet Options.
bool ScriptProxy(const std::wstring& url, const wchar_t* scriptUrl, bool detect,
                 std::wstring* proxy, std::wstring* bypass) {
  using Session = std::unique_ptr<void, decltype(&WinHttpCloseHandle)>;
  Session session(WinHttpOpen(L"VexloService", WINHTTP_ACCESS_TYPE_NO_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0),
                  &WinHttpCloseHandle);
  if (!session) return false;
  // Finding a script is bounded like a request (fetch/winhttp_request.cpp).
  const int kStepTimeoutMs = 10000;
  WinHttpSetTimeouts(session.get(), kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs,
                     kStepTimeoutMs);
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (scriptUrl != nullptr && *scriptUrl != L'\0') {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl;
  }
  if (detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  options.fAutoLogonIfChallenged = FALSE;  // no credentials, for the script either
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) return false;
  GlobalString proxyText{info.lpszProxy};
  GlobalString bypassText{info.lpszProxyBypass};
  return NamedProxy(info, proxy, bypass);
}

}  // namespace

bool FindProxy(const std::wstring& url, std::wstring* proxy, std::wstring* bypass) {
  WINHTTP_PROXY_INFO machine = {};
  if (WinHttpGetDefaultProxyConfiguration(&machine)) {
    GlobalString proxyText{machine.lpszProxy};
    GlobalString bypassText{machine.lpszProxyBypass};
    if (NamedProxy(machine, proxy, bypass)) return true;
  }

  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG account = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&account)) return false;
  GlobalString scriptText{account.lpszAutoConfigUrl};
  GlobalString proxyText{account.lpszProxy};
  GlobalString bypassText{account.lpszProxyBypass};
  if (account.lpszProxy != nullptr && *account.lpszProxy != L'\0') {
    *proxy = account.lpszProxy;
    *bypass = Text(account.lpszProxyBypass);
    return true;
  }
  if (account.lpszAutoConfigUrl != nullptr || account.fAutoDetect) {
    return ScriptProxy(url, account.lpszAutoConfigUrl, account.fAutoDetect != FALSE, proxy,
                       bypass);
  }
  return false;
}
