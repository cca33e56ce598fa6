#include "fetch/proxy_resolver.h"

#include <memory>
#include <new>

#include "fetch/winhttp_request.h"

namespace {

using Session = std::unique_ptr<void, decltype(&WinHttpCloseHandle)>;
using GlobalString = std::unique_ptr<wchar_t, decltype(&GlobalFree)>;

// How often the wait for the resolver looks at the cancel flag.
const DWORD kResolverSliceMs = 50;

template <typename Call>
Call Find(HMODULE module, const char* name) {
  return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool FindResolverCalls(ResolverCalls* calls) {
  // Already loaded from the system folder (fetch/system_libraries.h).
  HMODULE winHttp = GetModuleHandleW(L"winhttp.dll");
  if (winHttp == nullptr) return false;
  calls->create = Find<decltype(calls->create)>(winHttp, "WinHttpCreateProxyResolver");
  calls->ask = Find<decltype(calls->ask)>(winHttp, "WinHttpGetProxyForUrlEx");
  calls->result = Find<decltype(calls->result)>(winHttp, "WinHttpGetProxyResult");
  calls->free = Find<decltype(calls->free)>(winHttp, "WinHttpFreeProxyResult");
  calls->close = WinHttpCloseHandle;
  return calls->create != nullptr && calls->ask != nullptr && calls->result != nullptr &&
         calls->free != nullptr;
}

// How far the resolver's call has come. The callback may still arrive after
// the search was given up, so the record has two owners, the search and the
// call, and the last to let go frees it.
struct Completion {
  HANDLE done = nullptr;
  LONG error = 0;
  LONG owners = 2;
};

void LetGo(Completion* completion) {
  if (InterlockedDecrement(&completion->owners) != 0) return;
  if (completion->done != nullptr) CloseHandle(completion->done);
  delete completion;
}

AutoProxyEnd EndOfError(DWORD error) {
  // No script found by detection is the usual answer where there is none.
  return error == ERROR_WINHTTP_AUTODETECTION_FAILED ? AutoProxyEnd::kNothing
                                                     : AutoProxyEnd::kFailed;
}

void RoutesOf(const WINHTTP_PROXY_RESULT& result, AutoProxyAnswer* answer) {
  for (DWORD i = 0; i < result.cEntries && answer->routes.size() < kMaxProxyRoutes; ++i) {
    const WINHTTP_PROXY_RESULT_ENTRY& entry = result.pEntries[i];
    ProxyRoute route;
    if (entry.fProxy) {
      // Only a proxy spoken to in plain HTTP is one WinHTTP takes by name.
      if (entry.ProxyScheme != INTERNET_SCHEME_HTTP || entry.pwszProxy == nullptr ||
          *entry.pwszProxy == L'\0') {
        ++answer->unusable;
        continue;
      }
      route.direct = false;
      route.proxy = ProxyAddress(entry.pwszProxy, entry.ProxyPort);
    }
    answer->routes.push_back(route);
  }
}

// The call of Windows 7, which cannot be cancelled and gives the list as text
// (Wine 8 gives only its first entry).
AutoProxyStep AskOlderCall(const std::wstring& url, WINHTTP_AUTOPROXY_OPTIONS* options,
                           AutoProxyAnswer* answer) {
  AutoProxyStep step;
  Session session(WinHttpOpen(L"VexloService", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0),
                  &WinHttpCloseHandle);
  WINHTTP_PROXY_INFO info = {};
  if (session) {
    const int limit = kHttpStepTimeoutMs;
    WinHttpSetTimeouts(session.get(), limit, limit, limit, limit);
  }
  if (!session || !WinHttpGetProxyForUrl(session.get(), url.c_str(), options, &info)) {
    step.error = GetLastError();
    step.end = EndOfError(step.error);
    return step;
  }
  GlobalString proxy(info.lpszProxy, &GlobalFree);
  GlobalString bypass(info.lpszProxyBypass, &GlobalFree);
  step.end = AutoProxyEnd::kAnswered;
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxy) {
    answer->routes =
        ParseProxyList(proxy.get(), url.compare(0, 8, L"https://") == 0, &answer->unusable);
    if (bypass) answer->bypass = bypass.get();
  } else {
    answer->routes.assign(1, ProxyRoute());  // DIRECT, as the resolver gives it
  }
  return step;
}

}  // namespace

void CALLBACK OnResolverStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information,
                               DWORD) {
  auto* completion = reinterpret_cast<Completion*>(context);
  if (completion == nullptr) return;
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
    const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(information);
    // Another call's error is not this call's end: its record must stay.
    if (result == nullptr || result->dwResult != API_GET_PROXY_FOR_URL) return;
    const DWORD error = result->dwError != 0 ? result->dwError : ERROR_WINHTTP_INTERNAL_ERROR;
    InterlockedExchange(&completion->error, static_cast<LONG>(error));
  } else if (status != WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE) {
    return;
  }
  SetEvent(completion->done);
  LetGo(completion);
}

bool AskResolver(const ResolverCalls& calls, const std::wstring& url,
                 WINHTTP_AUTOPROXY_OPTIONS* options, const std::atomic<bool>& cancelled,
                 unsigned long boundMs, AutoProxyStep* step, AutoProxyAnswer* answer) {
  Session session(WinHttpOpen(L"VexloService", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC),
                  &WinHttpCloseHandle);
  if (!session) return false;
  const int limit = kHttpStepTimeoutMs;
  WinHttpSetTimeouts(session.get(), limit, limit, limit, limit);
  if (WinHttpSetStatusCallback(
          session.get(), OnResolverStatus,
          WINHTTP_CALLBACK_FLAG_REQUEST_ERROR | WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE,
          0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    return false;
  }
  HINTERNET resolver = nullptr;
  // Wine 8 refuses here (12178): the older call answers instead.
  if (calls.create(session.get(), &resolver) != ERROR_SUCCESS) return false;

  auto* completion = new (std::nothrow) Completion;
  if (completion != nullptr) completion->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (completion == nullptr || completion->done == nullptr) {
    delete completion;
    calls.close(resolver);
    return false;
  }
  *step = AutoProxyStep();
  const DWORD started =
      calls.ask(resolver, url.c_str(), options, reinterpret_cast<DWORD_PTR>(completion));
  if (started != ERROR_IO_PENDING) {
    // Failed at once: no callback will come for this call.
    LetGo(completion);
    step->error = started;
    step->end = started == ERROR_SUCCESS ? AutoProxyEnd::kFailed : EndOfError(started);
  } else {
    // A WPAD server or a script that hangs holds the search only as long as
    // one step of a request may take; detection then hands on to the script,
    // and the script to the manual proxy.
    const ULONGLONG givenUp = GetTickCount64() + boundMs;
    DWORD waited = WAIT_TIMEOUT;
    while ((waited = WaitForSingleObject(completion->done, kResolverSliceMs)) == WAIT_TIMEOUT) {
      if (cancelled.load() || GetTickCount64() >= givenUp) break;
    }
    if (waited != WAIT_OBJECT_0) {
      step->end = cancelled.load() ? AutoProxyEnd::kStopped : AutoProxyEnd::kHung;
    } else if (completion->error != 0) {
      step->error = static_cast<DWORD>(completion->error);
      step->end = EndOfError(step->error);
    } else {
      WINHTTP_PROXY_RESULT result = {};
      step->error = calls.result(resolver, &result);
      if (step->error == ERROR_SUCCESS) {
        RoutesOf(result, answer);
        calls.free(&result);
        step->end = AutoProxyEnd::kAnswered;
      } else {
        step->end = AutoProxyEnd::kFailed;
      }
    }
  }
  // Closing the resolver cancels a call still under way; its callback then
  // comes with the cancel and lets go of the record.
  calls.close(resolver);
  LetGo(completion);
  return true;
}

AutoProxyStep AskAutoProxy(const std::wstring& url, const wchar_t* scriptUrl,
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
  AutoProxyStep step;
  ResolverCalls calls;
  if (!cancelled.load() &&
      !(FindResolverCalls(&calls) &&
        AskResolver(calls, url, &options, cancelled, static_cast<unsigned long>(kHttpStepTimeoutMs),
                    &step, answer))) {
    step = AskOlderCall(url, &options, answer);
  }
  if (cancelled.load()) {
    step.end = AutoProxyEnd::kStopped;
    *answer = AutoProxyAnswer();
  }
  return step;
}
