#include <windows.h>

#include <atomic>
#include <ctime>
#include <new>

#include "common/path_buffer.h"
#include "common/utf16_text.h"
#include "fetch/body_text.h"
#include "fetch/document_signature.h"
#include "fetch/fetch.h"
#include "fetch/request_url.h"
#include "fetch/winhttp_request.h"

namespace {

// Every download ends by this deadline, whatever the server does: a silent
// or trickling server must not wedge the loop or a stop request.
const unsigned long kDownloadDeadlineMs = 60000;
// How often the wait looks at the deadline and the run flag.
const DWORD kWaitSliceMs = 50;
// A request given up at its deadline or at a stop is cancelled, but goes on
// on its own thread until the platform lets go of it (under Wine, at the
// request's next time-out). Servers that keep hanging must not pile up
// threads and connections: while this many are out, a check asks nothing.
const long kMaxRequestsOut = 3;

// The thread that makes the requests, one at a time. The watcher owns it
// while it is idle or busy; once the watcher gives up on its request, the
// worker finishes that request and frees itself.
enum Phase : int { kBusy, kFinished, kAbandoned };

struct Worker {
  HANDLE wake = nullptr;  // the watcher has put a request in url
  HANDLE done = nullptr;  // the worker has put the answer in text
  PathBuffer url = "";
  HttpCall call;
  std::string text;
  std::atomic<int> phase{kFinished};
};

Worker* s_worker = nullptr;          // used by the watcher thread only
std::atomic<long> s_requestsOut{0};  // worker threads alive

std::string Decode(const std::string& body, const std::string& contentType) {
  const BodyCharset charset = DetectBodyCharset(body, contentType);
  if (charset.encoding == BodyEncoding::kUtf16Le || charset.encoding == BodyEncoding::kUtf16Be) {
    return AnsiFromUtf16(
        Utf16Units(body, charset.markLength, charset.encoding == BodyEncoding::kUtf16Be));
  }
  const char* bytes = body.data() + charset.markLength;
  const int size = static_cast<int>(body.size() - charset.markLength);
  if (size <= 0) return std::string();
  // A code page this system does not have reads as UTF-8.
  for (const UINT codePage :
       {charset.encoding == BodyEncoding::kCodePage ? charset.codePage : CP_UTF8,
        static_cast<UINT>(CP_UTF8)}) {
    const int length = MultiByteToWideChar(codePage, 0, bytes, size, nullptr, 0);
    if (length <= 0) continue;
    std::u16string wide(static_cast<std::size_t>(length), u'\0');
    if (MultiByteToWideChar(codePage, 0, bytes, size, reinterpret_cast<wchar_t*>(&wide[0]),
                            length) != length) {
      continue;
    }
    return AnsiFromUtf16(wide);
  }
  return std::string();
}

std::string Download(Worker* worker) {
  HttpAnswer answer;
  if (!HttpGet(worker->url, &worker->call, &answer)) return std::string();
  if (!DocumentKeysBuiltIn()) return Decode(answer.body, answer.contentType);
  // The bytes as they came, before anything of them is decoded or parsed.
  if (!IsSignedByPublisher(answer.body)) return std::string();
  // The headers are not signed: a signed document is read as its own bytes
  // say, so that no one on the way can change how its text reads.
  return Decode(answer.body, std::string());
}

void FreeWorker(Worker* worker) {
  if (worker->wake != nullptr) CloseHandle(worker->wake);
  if (worker->done != nullptr) CloseHandle(worker->done);
  delete worker;
}

DWORD WINAPI WorkerThread(void* parameter) {
  auto* worker = static_cast<Worker*>(parameter);
  for (;;) {
    WaitForSingleObject(worker->wake, INFINITE);
    std::string text;
    try {
      text = Download(worker);
    } catch (const std::bad_alloc&) {
      text.clear();
    }
    int expected = kBusy;
    if (!worker->phase.compare_exchange_strong(expected, kFinished)) break;  // given up
    worker->text.swap(text);
    SetEvent(worker->done);
  }
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
  ResetHttpCall(&worker->call);
  worker->phase = kBusy;
  SetEvent(worker->wake);

  for (;;) {
    if (WaitForSingleObject(worker->done, kWaitSliceMs) == WAIT_OBJECT_0) break;
    if (GetTickCount64() >= deadline || (watchRunFlag && g_runFlag == 0)) {
      // Cancelled first, while the worker cannot yet free itself: it does so
      // only once it finds its request abandoned.
      CancelHttpGet(&worker->call);
      int expected = kBusy;
      if (worker->phase.compare_exchange_strong(expected, kAbandoned)) {
        s_worker = nullptr;
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
