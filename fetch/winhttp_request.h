// One GET through WinHTTP, the platform's HTTP stack for services: it takes
// its proxy from the machine or the service's own account, keeps no cache,
// and a request can be cancelled from another thread by closing its handle.
#pragma once

#include <windows.h>

#include <string>

// Each step of a request (resolving, connecting, sending, the answer, each
// part of the body) and the search for a proxy script ends on its own: a
// server that is silent this long has failed. The check's deadline bounds the
// whole. Under Wine only the response time-out set on the request ends a
// server that accepts and never answers; WinHttpSetTimeouts alone does not.
// A request given up at its deadline or at a stop cannot be interrupted under
// Wine either, and so ends within one of these.
const int kHttpStepTimeoutMs = 10000;

// A request in progress, shared by the thread that makes it and the thread
// that may cancel it. The handle is closed by the canceller only while the
// maker is inside a call on it (which cancels that call); otherwise the maker
// sees the cancel before its next call and closes the handle itself. So no
// call is ever made on a handle that is already closed.
struct HttpCall {
  SRWLOCK lock = SRWLOCK_INIT;
  void* request = nullptr;  // HINTERNET
  bool inCall = false;
  bool cancelled = false;
};

struct HttpAnswer {
  unsigned long status = 0;
  std::string contentType;
  std::string body;
};

// GET of url (ANSI) with the one header "Content-Type: text/xml", no body and
// no credentials. True with the final answer's status and Content-Type, and
// with its body when that answer counts as a document (fetch/document_gate.h);
// false on any failure, on an answer that does not count, on a body past
// kMaxDocumentBytes, and after a cancel.
bool HttpGet(const char* url, HttpCall* call, HttpAnswer* answer);

// Ends the request of call as soon as the platform allows; HttpGet then
// returns false.
void CancelHttpGet(HttpCall* call);

// Makes call ready for its next request.
void ResetHttpCall(HttpCall* call);

// The proxy for url, found as a service finds it: WinHTTP's own setting (the
// one "netsh winhttp set proxy" writes), else the Internet Options of the
// account the process runs as, in Windows' order: automatic detection, the
// script address, the manual proxy. False for a direct connection.
bool FindProxy(const std::wstring& url, std::wstring* proxy, std::wstring* bypass);
