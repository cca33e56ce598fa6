#include <ctime>
#include <new>

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
const long kReadyStateComplete = 4;

void Check(HRESULT result) {
  if (FAILED(result)) _com_issue_error(result);
}

// Pumps this single-threaded apartment's messages, which carry the request's
// progress, until the request completes. Gives up at the deadline, or when
// the run flag that was set at the start is cleared (a stop request).
bool WaitForResponse(IXMLHTTPRequest* request, ULONGLONG deadline, bool watchRunFlag) {
  for (;;) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    long state = 0;
    Check(request->get_readyState(&state));
    if (state == kReadyStateComplete) return true;
    if (GetTickCount64() >= deadline) return false;
    if (watchRunFlag && g_runFlag == 0) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kWaitSliceMs, QS_ALLINPUT);
  }
}

std::string ToAnsi(const wchar_t* text) {
  if (text == nullptr || text[0] == L'\0') return std::string();
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

std::string Download(const char* url, unsigned long deadlineMs) {
  const bool watchRunFlag = g_runFlag != 0;
  try {
    _bstr_t method("GET");
    _bstr_t address(url);
    _variant_t user("");
    _variant_t password("");
    _variant_t asynchronous(true);
    _variant_t noBody(DISP_E_PARAMNOTFOUND, VT_ERROR);

    IXMLHTTPRequestPtr request;
    IXMLHTTPRequest* created = nullptr;
    // Asynchronous, so that the wait below can end it. Under Wine a refused
    // connection never completes an asynchronous request: it ends at the deadline.
    const HRESULT made = CoCreateInstance(kXmlHttpRequestClass, nullptr, CLSCTX_INPROC_SERVER,
                                          kXmlHttpRequestInterface,
                                          reinterpret_cast<void**>(&created));
    request.Attach(created);  // released on every path, also after a failure
    if (made != S_OK || !request) return std::string();

    const ULONGLONG deadline = GetTickCount64() + deadlineMs;
    Check(request->open(method, address, asynchronous, user, password));
    Check(request->setRequestHeader(_bstr_t("Content-Type"), _bstr_t("text/xml")));
    Check(request->send(noBody));
    if (!WaitForResponse(request, deadline, watchRunFlag)) {
      request->abort();
      return std::string();
    }

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

}  // namespace

std::string FetchVersionDocumentWithin(unsigned long deadlineMs) {
  PathBuffer url;
  if (!BuildRequestUrl(url, g_baseUrl, _time64(nullptr))) return std::string();

  const HRESULT initialized = CoInitialize(nullptr);
  std::string text = Download(url, deadlineMs);
  if (SUCCEEDED(initialized)) CoUninitialize();
  return text;
}

std::string FetchVersionDocument() { return FetchVersionDocumentWithin(kDownloadDeadlineMs); }
