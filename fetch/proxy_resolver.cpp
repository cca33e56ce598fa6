#include "fetch/proxy_resolver.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>

#include "fetch/winhttp_request.h"

namespace {

using Session = std::unique_ptr<void, decltype(&WinHttpCloseHandle)>;
using GlobalString = std::unique_ptr<wchar_t, decltype(&GlobalFree)>;

// The resolver came with Windows 8: looked up, never bound on first use, so
// that the list of bound functions holds on Windows 7.
using CreateResolverCall = DWORD(WINAPI*)(HINTERNET, HINTERNET*);
using GetProxyForUrlExCall = DWORD(WINAPI*)(HINTERNET, PCWSTR, WINHTTP_AUTOPROXY_OPTIONS*,
                                            DWORD_PTR);
using GetProxyResultCall = DWORD(WINAPI*)(HINTERNET, WINHTTP_PROXY_RESULT*);
using FreeProxyResultCall = VOID(WINAPI*)(WINHTTP_PROXY_RESULT*);

struct ResolverCalls {
  CreateResolverCall create = nullptr;
  GetProxyForUrlExCall ask = nullptr;
  GetProxyResultCall result = nullptr;
  FreeProxyResultCall free = nullptr;
};

template <typename Call>
Call Find(HMODULE module, const char* name) {
  return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool FindResolverCalls(ResolverCalls* calls) {
  // Already loaded from the system folder (fetch/system_libraries.h).
  HMODULE winHttp = GetModuleHandleW(L"winhttp.dll");
  if (winHttp == nullptr) return false;
  calls->create = Find<CreateResolverCall>(winHttp, "WinHttpCreateProxyResolver");
  calls->ask = Find<GetProxyForUrlExCall>(winHttp, "WinHttpGetProxyForUrlEx");
  calls->result = Find<GetProxyResultCall>(winHttp, "WinHttpGetProxyResult");
  calls->free = Find<FreeProxyResultCall>(winHttp, "WinHttpFreeProxyResult");
  return calls->create != nullptr && calls->ask != nullptr && calls->result != nullptr &&
         calls->free != nullptr;
}

// How far the resolver's call has come. Its callback may still arrive after
// the caller gave up, so the record lives until the callback has been.
struct Completion {
  HANDLE done = nullptr;
  LONG error = 0;
};

void CALLBACK OnResolved(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD) {
  auto* completion = reinterpret_cast<Completion*>(context);
  if (completion == nullptr) return;
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
    const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(information);
    const DWORD error =
        result != nullptr && result->dwError != 0 ? result->dwError : ERROR_WINHTTP_INTERNAL_ERROR;
    InterlockedExchange(&completion->error, static_cast<LONG>(error));
  } else if (status != WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE) {
    return;
  }
  SetEvent(completion->done);
}

// The port in decimal (the library's own conversion would bring a whole
// formatted-output engine into the executable).
std::wstring PortText(INTERNET_PORT port) {
  std::wstring text;
  do {
    text.insert(text.begin(), static_cast<wchar_t>(L'0' + port % 10));
    port = static_cast<INTERNET_PORT>(port / 10);
  } while (port != 0);
  return text;
}

std::vector<ProxyRoute> RoutesOf(const WINHTTP_PROXY_RESULT& result) {
  std::vector<ProxyRoute> routes;
  for (DWORD i = 0; i < result.cEntries && routes.size() < kMaxProxyRoutes; ++i) {
    const WINHTTP_PROXY_RESULT_ENTRY& entry = result.pEntries[i];
    ProxyRoute route;
    if (entry.fProxy) {
      // Only a proxy spoken to in plain HTTP is one WinHTTP takes by name.
      if (entry.ProxyScheme != INTERNET_SCHEME_HTTP || entry.pwszProxy == nullptr) continue;
      route.direct = false;
      route.proxy = std::wstring(entry.pwszProxy) + L":" + PortText(entry.ProxyPort);
    }
    routes.push_back(route);
  }
  return routes;
}

enum class Resolved { kAnswer, kNone, kUnavailable };

Resolved AskResolver(const std::wstring& url, WINHTTP_AUTOPROXY_OPTIONS* options,
                     const std::atomic<bool>& cancelled, AutoProxyAnswer* answer) {
  ResolverCalls calls;
  if (!FindResolverCalls(&calls)) return Resolved::kUnavailable;
  Session session(WinHttpOpen(L"VexloService", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC),
                  &WinHttpCloseHandle);
  if (!session) return Resolved::kUnavailable;
  const int step = kHttpStepTimeoutMs;
  WinHttpSetTimeouts(session.get(), step, step, step, step);
  if (WinHttpSetStatusCallback(
          session.get(), OnResolved,
          WINHTTP_CALLBACK_FLAG_REQUEST_ERROR | WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE,
          0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    return Resolved::kUnavailable;
  }
  HINTERNET resolver = nullptr;
  // Wine 8 refuses here (12178): the older call answers instead.
  if (calls.create(session.get(), &resolver) != ERROR_SUCCESS) return Resolved::kUnavailable;

  auto* completion = new (std::nothrow) Completion;
  if (completion == nullptr) {
    WinHttpCloseHandle(resolver);
    return Resolved::kUnavailable;
  }
  completion->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const DWORD started =
      completion->done == nullptr
          ? ERROR_NOT_ENOUGH_MEMORY
          : calls.ask(resolver, url.c_str(), options, reinterpret_cast<DWORD_PTR>(completion));
  bool pending = started == ERROR_IO_PENDING;
  while (pending && WaitForSingleObject(completion->done, 50) == WAIT_TIMEOUT) {
    if (cancelled.load()) break;
  }
  pending = pending && WaitForSingleObject(completion->done, 0) != WAIT_OBJECT_0;
  Resolved resolved = Resolved::kNone;
  if (started == ERROR_IO_PENDING && !pending && completion->error == 0) {
    WINHTTP_PROXY_RESULT result = {};
    if (calls.result(resolver, &result) == ERROR_SUCCESS) {
      answer->routes = RoutesOf(result);
      calls.free(&result);
      resolved = Resolved::kAnswer;
    }
  }
  // Closing the resolver cancels a call still under way; its callback then
  // comes with the cancel, and only after it may the record go.
  WinHttpCloseHandle(resolver);
  if (pending && WaitForSingleObject(completion->done, kHttpStepTimeoutMs) != WAIT_OBJECT_0) {
    return resolved;  // never called back: the record stays, a few bytes
  }
  if (completion->done != nullptr) CloseHandle(completion->done);
  delete completion;
  return resolved;
}

// The call of Windows 7, which cannot be cancelled and gives the list as text
// (Wine 8 gives only its first entry).
bool AskOlderCall(const std::wstring& url, WINHTTP_AUTOPROXY_OPTIONS* options,
                  AutoProxyAnswer* answer) {
  Session session(WinHttpOpen(L"VexloService", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0),
                  &WinHttpCloseHandle);
  if (!session) return false;
  const int step = kHttpStepTimeoutMs;
  WinHttpSetTimeouts(session.get(), step, step, step, step);
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), options, &info)) return false;
  GlobalString proxy(info.lpszProxy, &GlobalFree);
  GlobalString bypass(info.lpszProxyBypass, &GlobalFree);
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy) {
    answer->routes = ParseProxyList(proxy.get(), url.compare(0, 8, L"https://") == 0);
    if (bypass) answer->bypass = bypass.get();
    return true;
  }
  if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NO_PROXY) return false;
  answer->routes.assign(1, ProxyRoute());  // DIRECT, as the resolver gives it
  return true;
}

}  // namespace

bool AskAutoProxy(const std::wstring& url, const wchar_t* scriptUrl,
                  const std::atomic<bool>& cancelled, AutoProxyAnswer* answer) {
  *answer = AutoProxyAnswer();
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (scriptUrl != nullptr) {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  options.fAutoLogonIfChallenged = FALSE;  // no credentials, for the script either
  switch (AskResolver(url, &options, cancelled, answer)) {
    case Resolved::kAnswer:
      return !cancelled.load();
    case Resolved::kNone:
      return false;
    case Resolved::kUnavailable:
      break;
  }
  return !cancelled.load() && AskOlderCall(url, &options, answer) && !cancelled.load();
}
