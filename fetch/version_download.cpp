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
  HANDLE wake = nullptr;  // the watcher has put a request in url and stored
  HANDLE done = nullptr;  // the worker has put the answer in report
  PathBuffer url = "";
  std::string stored;
  HttpCall call;
  FetchReport report;
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

// The document as the service takes it, in the order the check is
// explained: the answer, then the stored copy, the signature and its serial,
// then the text.
CheckOutcome Download(const char* url, const std::string& stored, HttpCall* call,
                      FetchReport* report) {
  HttpAnswer& answer = report->answer;
  const CheckOutcome got = HttpGet(url, call, &answer);
  if (got != CheckOutcome::kOk) return got;
  // The PC holds this document already: nothing can change, whatever its
  // signature says, so none is verified (nearly every check ends here).
  if (!stored.empty() && answer.body == stored) return CheckOutcome::kSameAsStored;
  if (DocumentKeysBuiltIn()) {
    // The bytes as they came, before anything of them is decoded or parsed.
    report->signatureChecked = true;
    const CheckOutcome signature = CheckPublisherSignature(answer.body);
    if (signature != CheckOutcome::kOk) return signature;
    const CheckOutcome serial = CheckSerial(answer.body, stored);
    if (serial != CheckOutcome::kOk) return serial;
  }
  // The headers are not signed: a signed document is read as its own bytes
  // say, so that no one on the way can change how its text reads.
  report->text = Decode(answer.body, DocumentKeysBuiltIn() ? std::string() : answer.contentType);
  return report->text.empty() ? CheckOutcome::kEmptyBody : CheckOutcome::kOk;
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
    FetchReport report;
    try {
      report.outcome = Download(worker->url, worker->stored, &worker->call, &report);
    } catch (const std::bad_alloc&) {
      report = FetchReport();
      report.outcome = CheckOutcome::kConnectionLost;
    }
    int expected = kBusy;
    if (!worker->phase.compare_exchange_strong(expected, kFinished)) break;  // given up
    worker->report = std::move(report);
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

CheckOutcome FetchVersionDocumentReport(const std::string& stored, unsigned long deadlineMs,
                                        FetchReport* report) {
  *report = FetchReport();
  PathBuffer url;
  if (!BuildRequestUrl(url, g_baseUrl, _time64(nullptr))) {
    return report->outcome = CheckOutcome::kUrlTooLong;
  }
  report->url = url;

  // A stop clears the run flag; a caller outside the loop (the run flag
  // never set) is bound by the deadline alone.
  const bool watchRunFlag = g_runFlag != 0;
  const ULONGLONG deadline = GetTickCount64() + deadlineMs;
  Worker* worker = IdleWorker();
  if (worker == nullptr) return report->outcome = CheckOutcome::kTooManyRequests;
  CopyPath(worker->url, url);
  worker->stored = stored;
  ResetHttpCall(&worker->call);
  worker->phase = kBusy;
  SetEvent(worker->wake);

  for (;;) {
    if (WaitForSingleObject(worker->done, kWaitSliceMs) == WAIT_OBJECT_0) break;
    const bool stopping = watchRunFlag && g_runFlag == 0;
    if (GetTickCount64() >= deadline || stopping) {
      // Cancelled first, while the worker cannot yet free itself: it does so
      // only once it finds its request abandoned.
      CancelHttpGet(&worker->call);
      int expected = kBusy;
      if (worker->phase.compare_exchange_strong(expected, kAbandoned)) {
        s_worker = nullptr;
        return report->outcome = stopping ? CheckOutcome::kStopped : CheckOutcome::kDeadline;
      }
      // The answer came in the meantime.
      WaitForSingleObject(worker->done, INFINITE);
      break;
    }
  }
  const std::string requestUrl = report->url;
  *report = std::move(worker->report);
  report->url = requestUrl;
  return report->outcome;
}

std::string FetchVersionDocumentWithin(unsigned long deadlineMs) {
  FetchReport report;
  if (FetchVersionDocumentReport(std::string(), deadlineMs, &report) != CheckOutcome::kOk) {
    return std::string();
  }
  return std::move(report.text);
}

std::string FetchVersionDocument() { return FetchVersionDocumentWithin(kDownloadDeadlineMs); }

int RequestsOut() { return static_cast<int>(s_requestsOut); }
