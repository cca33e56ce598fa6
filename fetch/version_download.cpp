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

std::atomic<long> s_requestsOut{0};

// One download, shared by the watcher and the thread that makes the request;
// whichever of the two lets go last frees it.
struct Request {
  PathBuffer url = "";
  std::string text;
  HANDLE done = nullptr;
  std::atomic<int> holders{2};
};

void LetGo(Request* request) {
  if (--request->holders == 0) {
    CloseHandle(request->done);
    delete request;
  }
}

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

// Runs one request in an apartment of its own.
DWORD WINAPI RequestThread(void* parameter) {
  auto* request = static_cast<Request*>(parameter);
  const HRESULT initialized = CoInitialize(nullptr);
  request->text = Download(request->url);
  if (SUCCEEDED(initialized)) CoUninitialize();
  SetEvent(request->done);
  LetGo(request);
  --s_requestsOut;
  return 0;
}

// Starts the request on its own thread; null when that cannot be done now.
Request* StartRequest(const PathBuffer& url) {
  if (++s_requestsOut > kMaxRequestsOut) {
    --s_requestsOut;
    return nullptr;
  }
  auto* request = new (std::nothrow) Request;
  if (request != nullptr) {
    CopyPath(request->url, url);
    request->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = request->done != nullptr
                        ? CreateThread(nullptr, 0, RequestThread, request, 0, nullptr)
                        : nullptr;
    if (thread != nullptr) {
      CloseHandle(thread);
      return request;
    }
    if (request->done != nullptr) CloseHandle(request->done);
    delete request;
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
  Request* request = StartRequest(url);
  if (request == nullptr) return std::string();

  std::string text;
  for (;;) {
    if (WaitForSingleObject(request->done, kWaitSliceMs) == WAIT_OBJECT_0) {
      text.swap(request->text);
      break;
    }
    if (GetTickCount64() >= deadline || (watchRunFlag && g_runFlag == 0)) break;
  }
  LetGo(request);
  return text;
}

std::string FetchVersionDocument() { return FetchVersionDocumentWithin(kDownloadDeadlineMs); }

int RequestsOut() { return static_cast<int>(s_requestsOut); }
