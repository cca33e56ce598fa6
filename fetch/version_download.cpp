#include <atomic>
#include <ctime>
#include <new>

#include "common/path_buffer.h"
#include "fetch/fetch.h"
#include "fetch/request_url.h"
#include "fetch/xml_http_request.h"

const CLSID kXmlHttpRequestClass = {
    0xED8C108E, 0x4349, 0x11D2, {0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79, 0x69, 0xE8}};
const IID kXmlHttpRequestInterface = {
    0xED8C108D, 0x4349, 0x11D2, {0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79, 0x69, 0xE8}};

namespace {

// Every download ends by this deadline. A synchronous request has no
// time-out at all under Wine and very long ones on Windows, and a silent
// server must not wedge the loop or a stop request.
const unsigned long kDownloadDeadlineMs = 60000;
// How often the wait looks at the deadline and the run flag.
const DWORD kWaitSliceMs = 50;
// A request given up at its deadline or at a stop goes on on its own thread
// until the request object lets go of it (under Wine, only when the server
// closes the connection). A server that keeps hanging must not pile up
// threads and connections: while this many are out, a check asks nothing.
const long kMaxRequestsOut = 3;
const wchar_t kByteOrderMark = 0xFEFF;

// The thread that makes the requests, one at a time, in an apartment of its
// own that it keeps between requests (a thread and an apartment for every
// check would cost more than the request itself). The watcher owns it while
// it is idle or busy; once the watcher gives up on its request, the worker
// finishes that request and frees itself.
enum Phase : int { kBusy, kFinished, kAbandoned };

struct Worker {
  HANDLE wake = nullptr;  // the watcher has put a request in url
  HANDLE done = nullptr;  // the worker has put the answer in text
  PathBuffer url = "";
  std::string text;
  std::atomic<int> phase{kFinished};
};

Worker* s_worker = nullptr;  // used by the watcher thread only
std::atomic<long> s_requestsOut{0};  // worker threads alive

void Check(HRESULT result) {
  if (FAILED(result)) _com_issue_error(result);
}

std::string ToAnsi(const wchar_t* text) {
  if (text == nullptr) return std::string();
  // A byte-order mark (what Windows editors write) is no part of the text:
  // in the ANSI code page it would become a stray character before the root.
  if (text[0] == kByteOrderMark) ++text;
  if (text[0] == L'\0') return std::string();
  // Up to the first NUL: the length -1 stops there and counts the terminator.
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return std::string();
  std::string result(static_cast<std::size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, text, -1, &result[0], bytes, nullptr, nullptr) != bytes) {
    return std::string();
  }
  result.resize(static_cast<std::size_t>(bytes - 1));
  return result;
}

// The synchronous GET itself: it fails at once when the connection does
// (refused, reset, closed, no such host), which an asynchronous request
// under Wine never reports.
std::string Download(const char* url) {
  try {
    _bstr_t method("GET");
    _bstr_t address(url);
    _variant_t user("");
    _variant_t password("");
    _variant_t asynchronous(false);
    _variant_t noBody(DISP_E_PARAMNOTFOUND, VT_ERROR);

    IXMLHTTPRequestPtr request;
    IXMLHTTPRequest* created = nullptr;
    const HRESULT made = CoCreateInstance(kXmlHttpRequestClass, nullptr, CLSCTX_INPROC_SERVER,
                                          kXmlHttpRequestInterface,
                                          reinterpret_cast<void**>(&created));
    request.Attach(created);  // released on every path, also after a failure
    if (made != S_OK || !request) return std::string();

    Check(request->open(method, address, asynchronous, user, password));
    Check(request->setRequestHeader(_bstr_t("Content-Type"), _bstr_t("text/xml")));
    Check(request->send(noBody));

    BSTR raw = nullptr;
    if (FAILED(request->get_responseText(&raw))) {
      SysFreeString(raw);
      return std::string();
    }
    _bstr_t text(raw, false);  // takes ownership
    return ToAnsi(static_cast<const wchar_t*>(text));
  } catch (const _com_error&) {
    return std::string();
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

void FreeWorker(Worker* worker) {
  if (worker->wake != nullptr) CloseHandle(worker->wake);
  if (worker->done != nullptr) CloseHandle(worker->done);
  delete worker;
}

DWORD WINAPI WorkerThread(void* parameter) {
  auto* worker = static_cast<Worker*>(parameter);
  const HRESULT initialized = CoInitialize(nullptr);
  for (;;) {
    // An apartment's thread pumps its messages while it waits: what the
    // request object leaves queued at the end of a request is dealt with
    // here, not at the start of the next one.
    while (MsgWaitForMultipleObjects(1, &worker->wake, FALSE, INFINITE, QS_ALLINPUT) ==
           WAIT_OBJECT_0 + 1) {
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
    std::string text = Download(worker->url);
    int expected = kBusy;
    if (!worker->phase.compare_exchange_strong(expected, kFinished)) break;  // given up
    worker->text.swap(text);
    SetEvent(worker->done);
  }
  if (SUCCEEDED(initialized)) CoUninitialize();
  FreeWorker(worker);
  --s_requestsOut;
  return 0;
}

// The idle worker, started when there is none; null when none can be had now.
Worker* IdleWorker() {
  if (s_worker != nullptr) return s_worker;
  if (++s_requestsOut > kMaxRequestsOut) {
    --s_requestsOut;
    return nullptr;
  }
  auto* worker = new (std::nothrow) Worker;
  if (worker != nullptr) {
    worker->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    worker->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = worker->wake != nullptr && worker->done != nullptr
                        ? CreateThread(nullptr, 0, WorkerThread, worker, 0, nullptr)
                        : nullptr;
    if (thread != nullptr) {
      CloseHandle(thread);
      s_worker = worker;
      return worker;
    }
    FreeWorker(worker);
  }
  --s_requestsOut;
  return nullptr;
}

}  // namespace

std::string FetchVersionDocumentWithin(unsigned long deadlineMs) {
  PathBuffer url;
  if (!BuildRequestUrl(url, g_baseUrl, _time64(nullptr))) return std::string();

  // A stop clears the run flag; a caller outside the loop (the run flag
  // never set) is bound by the deadline alone.
  const bool watchRunFlag = g_runFlag != 0;
  const ULONGLONG deadline = GetTickCount64() + deadlineMs;
  Worker* worker = IdleWorker();
  if (worker == nullptr) return std::string();
  CopyPath(worker->url, url);
  worker->phase = kBusy;
  SetEvent(worker->wake);

  for (;;) {
    if (WaitForSingleObject(worker->done, kWaitSliceMs) == WAIT_OBJECT_0) break;
    if (GetTickCount64() >= deadline || (watchRunFlag && g_runFlag == 0)) {
      int expected = kBusy;
      if (worker->phase.compare_exchange_strong(expected, kAbandoned)) {
        s_worker = nullptr;  // the worker frees itself once its request is over
        return std::string();
      }
      // The answer came in the meantime.
      WaitForSingleObject(worker->done, INFINITE);
      break;
    }
  }
  std::string text;
  text.swap(worker->text);
  return text;
}

std::string FetchVersionDocument() { return FetchVersionDocumentWithin(kDownloadDeadlineMs); }

int RequestsOut() { return static_cast<int>(s_requestsOut); }
