#include <windows.h>
#include <winhttp.h>

#include <memory>

#include "fetch/winhttp_request.h"

namespace {

// Finding the proxy costs more than a request to a near server: two reads of
// the settings, and with a script or automatic detection a network round of
// its own (about 10 ms under Wine even where there is none). The answer is
// kept for a minute, as the platform's own auto-proxy service keeps what it
// found; checks come an hour apart by default, so each of those still reads
// the settings afresh.
const ULONGLONG kProxyAnswerMs = 60 * 1000;

struct ProxyAnswer {
  std::wstring host;
  ULONGLONG at = 0;
  ProxyChoice choice;
};

SRWLOCK s_answerLock = SRWLOCK_INIT;  // request threads may overlap
ProxyAnswer s_answer;

// WinHTTP hands its strings out in GlobalAlloc'ed memory.
using GlobalString = std::unique_ptr<wchar_t, decltype(&GlobalFree)>;

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

// What automatic configuration says for the address.
enum class ScriptAnswer { kProxy, kDirect, kNone };

// Automatic detection and then the script address of the account's Internet
// Options, in the one call that tries them in that order. kNone when neither
// gives an answer: nothing detected, no script, a script that cannot be
// fetched or names no proxy.
ScriptAnswer ScriptProxy(const std::wstring& url, const wchar_t* scriptUrl,
                         const AutoProxyPlan& plan, std::wstring* proxy, std::wstring* bypass) {
  using Session = std::unique_ptr<void, decltype(&WinHttpCloseHandle)>;
  Session session(WinHttpOpen(L"VexloService", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0),
                  &WinHttpCloseHandle);
  if (!session) return ScriptAnswer::kNone;
  const int step = kHttpStepTimeoutMs;
  WinHttpSetTimeouts(session.get(), step, step, step, step);
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (plan.script) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl;
  }
  if (plan.detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (options.dwFlags == 0) return ScriptAnswer::kNone;
  options.fAutoLogonIfChallenged = FALSE;  // no credentials, for the script either
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) {
    return ScriptAnswer::kNone;
  }
  GlobalString proxyText(info.lpszProxy, &GlobalFree);
  GlobalString bypassText(info.lpszProxyBypass, &GlobalFree);
  if (NamedProxy(info, proxy, bypass)) return ScriptAnswer::kProxy;
  // A script that answers DIRECT for this address.
  return info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY ? ScriptAnswer::kDirect
                                                           : ScriptAnswer::kNone;
}

std::wstring HostOf(const std::wstring& url) {
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return std::wstring();
  return std::wstring(parts.lpszHostName, parts.dwHostNameLength);
}

ProxyChoice DiscoverProxy(const std::wstring& url) {
  ProxyChoice choice;
  WINHTTP_PROXY_INFO machine = {};
  if (WinHttpGetDefaultProxyConfiguration(&machine)) {
    GlobalString proxyText(machine.lpszProxy, &GlobalFree);
    GlobalString bypassText(machine.lpszProxyBypass, &GlobalFree);
    if (NamedProxy(machine, &choice.proxy, &choice.bypass)) {
      choice.source = ProxySource::kMachine;
      return choice;
    }
  }

  // Documented to fail for a service that impersonates no user, and where
  // the system account's settings were never written: the usual case of
  // this service on Windows. Under Wine the service reads the user's.
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG account = {};
  choice.accountRead = WinHttpGetIEProxyConfigForCurrentUser(&account) != FALSE;
  if (!choice.accountRead) account = {};
  GlobalString scriptText(account.lpszAutoConfigUrl, &GlobalFree);
  GlobalString proxyText(account.lpszProxy, &GlobalFree);
  GlobalString bypassText(account.lpszProxyBypass, &GlobalFree);
  // In Windows' own order ("automatic configuration may override manual
  // settings"): detection, the script, and only then the manual proxy, which
  // policies often set as the fallback of a script.
  const AutoProxyPlan plan =
      PlanAutoProxy(choice.accountRead, account.fAutoDetect != FALSE, account.lpszAutoConfigUrl);
  switch (ScriptProxy(url, account.lpszAutoConfigUrl, plan, &choice.proxy, &choice.bypass)) {
    case ScriptAnswer::kProxy:
      choice.source = ProxySource::kAutomatic;
      return choice;
    case ScriptAnswer::kDirect:
      return choice;
    case ScriptAnswer::kNone:
      break;
  }
  if (account.lpszProxy != nullptr && *account.lpszProxy != L'\0') {
    choice.source = ProxySource::kManual;
    choice.proxy = account.lpszProxy;
    choice.bypass = Text(account.lpszProxyBypass);
    return choice;
  }
  return choice;
}

}  // namespace

AutoProxyPlan PlanAutoProxy(bool accountRead, bool accountDetects, const wchar_t* scriptUrl) {
  AutoProxyPlan plan;
  // Settings that cannot be read are Windows' defaults, which detect.
  plan.detect = !accountRead || accountDetects;
  plan.script = accountRead && scriptUrl != nullptr && *scriptUrl != L'\0';
  return plan;
}

ProxyChoice FindProxy(const std::wstring& url) {
  const std::wstring host = HostOf(url);
  const ULONGLONG now = GetTickCount64();
  AcquireSRWLockShared(&s_answerLock);
  const bool fresh =
      s_answer.at != 0 && s_answer.host == host && now - s_answer.at < kProxyAnswerMs;
  ProxyChoice kept;
  if (fresh) kept = s_answer.choice;
  ReleaseSRWLockShared(&s_answerLock);
  if (fresh) return kept;
  ProxyAnswer answer;
  answer.host = host;
  answer.choice = DiscoverProxy(url);
  answer.at = GetTickCount64();
  AcquireSRWLockExclusive(&s_answerLock);
  s_answer = answer;
  ReleaseSRWLockExclusive(&s_answerLock);
  return answer.choice;
}
