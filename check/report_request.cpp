#include <windows.h>
#include <winhttp.h>

#include <cinttypes>
#include <cstring>
#include <memory>

#include "check/console.h"
#include "check/report_parts.h"
#include "common/path_buffer.h"
#include "fetch/document_gate.h"
#include "fetch/system_libraries.h"
#include "service/service.h"
#include "watcher/watcher.h"

namespace {

using GlobalString = std::unique_ptr<wchar_t, decltype(&GlobalFree)>;

std::string RouteName(const ProxyRoute& route) {
  return route.direct ? std::string("DIRECT") : Ansi(route.proxy);
}

bool MadeARequest(CheckOutcome outcome) {
  return outcome != CheckOutcome::kUrlTooLong && outcome != CheckOutcome::kTooManyRequests &&
         outcome != CheckOutcome::kLibraryMissing && outcome != CheckOutcome::kNotWebAddress;
}

// How asking automatic configuration ended, so that a WPAD server or a
// script that hangs is named as the step it is.
void ReportAutoProxySteps(const ProxyChoice& proxy) {
  for (const AutoProxyStep& step : proxy.steps) {
    const char* source = step.script ? "the script address" : "automatic detection";
    switch (step.end) {
      case AutoProxyEnd::kAnswered:
        Line("", "%s answered", source);
        break;
      case AutoProxyEnd::kNothing:
        Line("", "%s found no script", source);
        break;
      case AutoProxyEnd::kFailed:
        Line("", "%s failed (error %lu); the next setting was asked", source, step.error);
        break;
      case AutoProxyEnd::kHung:
        Line("",
             "%s HUNG: no answer within the step's ten-second time-out; the next setting "
             "was asked",
             source);
        break;
      case AutoProxyEnd::kStopped:
        Line("", "%s was given up with the check", source);
        break;
    }
  }
}

// Which ways out the proxy setting named, and how each one tried went.
void ReportRoutes(const HttpAnswer& answer) {
  const ProxyChoice& proxy = answer.proxy;
  ReportAutoProxySteps(proxy);
  if (proxy.source == ProxySource::kDirect) {
    Line("", "through no proxy: no setting names one");
    return;
  }
  std::string routes;
  for (const ProxyRoute& route : proxy.routes) {
    routes += (routes.empty() ? "" : ", ") + RouteName(route);
  }
  const char* none =
      proxy.unusable != 0 ? "none WinHTTP can use" : "DIRECT (none for this address's scheme)";
  Line("", "ways out named by %s: %s", ProxySourceWords(proxy.source),
       routes.empty() ? none : routes.c_str());
  if (proxy.unusable != 0) {
    Line("", "%zu left out: SOCKS, or spoken to over TLS, which WinHTTP cannot use",
         proxy.unusable);
  }
  for (std::size_t i = 0; i < answer.tried.size(); ++i) {
    const RouteAttempt& attempt = answer.tried[i];
    if (i + 1 == answer.tried.size()) {
      Line("", "through %s", RouteName(attempt.route).c_str());
    } else {
      Line("", "through %s: %s; the next way out was tried", RouteName(attempt.route).c_str(),
           CheckOutcomeText(attempt.result.outcome));
    }
  }
}

// Whether WinHTTP takes TLS 1.2 when asked (Windows 7 only with KB3140245).
bool Tls12CanBeAsked() {
  using Session = std::unique_ptr<void, decltype(&WinHttpCloseHandle)>;
  Session session(WinHttpOpen(L"VexloCheck", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0),
                  &WinHttpCloseHandle);
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  return session && WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                     sizeof protocols) != FALSE;
}

}  // namespace

void ReportSettings(const std::string& url) {
  const std::string builtIn = g_baseUrl;
  std::int32_t checkInterval = 0;
  std::int32_t markerInterval = 0;
  const char* encoding = "";
  const CheckOutcome settings = LoadWatcherSettings(&checkInterval, &markerInterval, &encoding);
  if (settings == CheckOutcome::kOk) {
    Line("Settings", "config.xml read; its bytes: %s", encoding);
  } else {
    Line("Settings", "%s", CheckOutcomeText(settings));
  }
  Line("",
       "check interval %" PRId32 " passes, marker interval %" PRId32
       " passes (a pass is about a second)",
       checkInterval, markerInterval);
  const char* from = std::strcmp(builtIn.c_str(), g_baseUrl) == 0 ? "built in" : "from config.xml";
  if (url.empty()) {
    Line("", "address %s (%s)", g_baseUrl, from);
  } else {
    Line("", "address %s (given with --url; the service uses %s, %s)", url.c_str(), g_baseUrl,
         from);
    CopyPath(g_baseUrl, url.c_str());
  }
}

// What this Windows gives the service: the limit on library loads, and TLS 1.2.
void ReportPlatform() {
  Line("Windows", "%s",
       LibrarySearchLimited()
           ? "libraries load from the system folder only"
           : "libraries may still load from the service's folder (install KB2533623 "
             "on Windows 7, and keep the folder writable by administrators alone)");
  if (!BindSystemLibrary(SystemLibrary::kWinHttp)) return;
  Line("", "%s",
       Tls12CanBeAsked() ? "TLS 1.2 can be asked for"
                         : "TLS 1.2 cannot be asked for (install KB3140245 on Windows 7): "
                           "https addresses fail at most servers");
}

// The settings the proxy is found from, as this account sees them; which one
// the check used comes with its answer.
void ReportProxySettings() {
  if (!BindSystemLibrary(SystemLibrary::kWinHttp)) {
    Line("Proxy", "%s", CheckOutcomeText(CheckOutcome::kLibraryMissing));
    return;
  }
  WINHTTP_PROXY_INFO machine = {};
  if (WinHttpGetDefaultProxyConfiguration(&machine)) {
    GlobalString proxy(machine.lpszProxy, &GlobalFree);
    GlobalString bypass(machine.lpszProxyBypass, &GlobalFree);
    if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy) {
      Line("Proxy", "WinHTTP's own setting: %s (bypass %s)", Ansi(proxy.get()).c_str(),
           bypass && *bypass.get() != L'\0' ? Ansi(bypass.get()).c_str() : "none");
    } else {
      Line("Proxy", "WinHTTP's own setting: none");
    }
  } else {
    Line("Proxy", "WinHTTP's own setting cannot be read (error %lu)", GetLastError());
  }
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG account = {};
  if (WinHttpGetIEProxyConfigForCurrentUser(&account)) {
    GlobalString script(account.lpszAutoConfigUrl, &GlobalFree);
    GlobalString proxy(account.lpszProxy, &GlobalFree);
    GlobalString bypass(account.lpszProxyBypass, &GlobalFree);
    Line("", "this account's Internet Options: automatic detection %s, script %s, manual proxy %s",
         account.fAutoDetect ? "on" : "off", script ? Ansi(script.get()).c_str() : "none",
         proxy ? Ansi(proxy.get()).c_str() : "none");
  } else {
    Line("",
         "this account's Internet Options cannot be read (error %lu): automatic detection "
         "is tried",
         GetLastError());
  }
  Line("", "the service runs as the local system account, whose Internet Options may differ");
}

void ReportAnswer(const FetchReport& report, unsigned long long elapsedMs) {
  if (!report.url.empty()) Line("Request", "GET %s", report.url.c_str());
  if (!MadeARequest(report.outcome)) {
    Line("Answer", "no request was made: %s", CheckOutcomeText(report.outcome));
    return;
  }
  ReportRoutes(report.answer);
  const HttpAnswer& answer = report.answer;
  if (answer.status == 0) {
    Line("Answer", "none after %llu ms: %s", elapsedMs, CheckOutcomeText(report.outcome));
    return;
  }
  Line("Answer", "status %lu after %llu ms", answer.status, elapsedMs);
  Line("", "Content-Type %s, Content-Encoding %s, Content-Length %s", OrNone(answer.contentType),
       OrNone(answer.contentEncoding), OrNone(answer.contentLength));
  if (!answer.finalUrl.empty() && answer.finalUrl != report.url) {
    Line("", "redirected to %s", answer.finalUrl.c_str());
  }
  if (!answer.location.empty()) Line("", "Location %s", answer.location.c_str());
  if (!answer.body.empty()) {
    Line("", "%zu bytes of body read (at most %zu count)", answer.body.size(), kMaxDocumentBytes);
  }
}
