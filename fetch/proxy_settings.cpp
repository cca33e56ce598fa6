#include <windows.h>
#include <winhttp.h>

#include <memory>

#include "fetch/proxy_resolver.h"
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
  std::wstring key;  // the address's scheme and host (ProxyAnswerKey)
  ULONGLONG at = 0;
  ProxyChoice choice;
};

SRWLOCK s_answerLock = SRWLOCK_INIT;  // request threads may overlap
ProxyAnswer s_answer;

// WinHTTP hands its strings out in GlobalAlloc'ed memory.
using GlobalString = std::unique_ptr<wchar_t, decltype(&GlobalFree)>;

std::wstring Text(const wchar_t* text) { return text == nullptr ? std::wstring() : text; }

bool NamedProxy(const WINHTTP_PROXY_INFO& info) {
  return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr &&
         *info.lpszProxy != L'\0';
}

ProxyChoice DiscoverProxy(const std::wstring& url, const std::atomic<bool>& cancelled) {
  const bool secure = url.compare(0, 8, L"https://") == 0;
  ProxyChoice choice;
  WINHTTP_PROXY_INFO machine = {};
  if (WinHttpGetDefaultProxyConfiguration(&machine)) {
    GlobalString proxyText(machine.lpszProxy, &GlobalFree);
    GlobalString bypassText(machine.lpszProxyBypass, &GlobalFree);
    if (NamedProxy(machine)) {
      choice.source = ProxySource::kMachine;
      choice.routes = ParseProxyList(machine.lpszProxy, secure, &choice.unusable);
      choice.bypass = Text(machine.lpszProxyBypass);
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
  // settings"): detection, the script address where detection finds none,
  // fails or hangs, and only then the manual proxy, which policies often set
  // as the fallback of a script.
  const AutoProxyPlan plan =
      PlanAutoProxy(choice.accountRead, account.fAutoDetect != FALSE, account.lpszAutoConfigUrl);
  AutoProxyAnswer automatic;
  const bool answered = AskAutoProxyInOrder(
      plan.detect, plan.script,
      [&](bool script) {
        return AskAutoProxy(url, script ? account.lpszAutoConfigUrl : nullptr, cancelled,
                            &automatic);
      },
      &choice.steps);
  if (answered) {
    choice.source = ProxySource::kAutomatic;
    choice.routes = automatic.routes;
    choice.unusable = automatic.unusable;
    choice.bypass = automatic.bypass;
    return choice;
  }
  if (!cancelled && account.lpszProxy != nullptr && *account.lpszProxy != L'\0') {
    choice.source = ProxySource::kManual;
    choice.routes = ParseProxyList(account.lpszProxy, secure, &choice.unusable);
    choice.bypass = Text(account.lpszProxyBypass);
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

ProxyChoice FindProxy(const std::wstring& url, const std::atomic<bool>& cancelled) {
  const std::wstring key = ProxyAnswerKey(url);
  const ULONGLONG now = GetTickCount64();
  AcquireSRWLockShared(&s_answerLock);
  const bool fresh = s_answer.at != 0 && s_answer.key == key && now - s_answer.at < kProxyAnswerMs;
  ProxyChoice kept;
  if (fresh) kept = s_answer.choice;
  ReleaseSRWLockShared(&s_answerLock);
  if (fresh) return kept;
  ProxyAnswer answer;
  answer.key = key;
  answer.choice = DiscoverProxy(url, cancelled);
  // A search given up on the way is no answer to keep.
  if (cancelled) return answer.choice;
  answer.at = GetTickCount64();
  AcquireSRWLockExclusive(&s_answerLock);
  s_answer = answer;
  ReleaseSRWLockExclusive(&s_answerLock);
  return answer.choice;
}

const char* ProxySourceWords(ProxySource source) {
  switch (source) {
    case ProxySource::kMachine:
      return "WinHTTP's own setting";
    case ProxySource::kAutomatic:
      return "automatic configuration";
    case ProxySource::kManual:
      return "the manual proxy of the Internet Options";
    default:
      return "no setting";
  }
}

std::string RouteText(const HttpAnswer& answer) {
  if (answer.tried.empty()) return "no request";
  const ProxyRoute& route = answer.tried.back().route;
  if (route.direct) return "direct";
  std::string proxy;
  for (wchar_t c : route.proxy) proxy += c > 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  std::string text = "proxy " + proxy + " from " + ProxySourceWords(answer.proxy.source);
  if (text.size() > kMaxRouteText) text.resize(kMaxRouteText);
  return text;
}
