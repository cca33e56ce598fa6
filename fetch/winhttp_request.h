// One GET through WinHTTP, the platform's HTTP stack for services: it takes
// its proxy from the machine or the service's own account, keeps no cache,
// and a request can be cancelled from another thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/check_outcome.h"
#include "fetch/proxy_routes.h"

// Each step of a request (resolving, connecting, sending, the answer, each
// part of the body) and the search for a proxy script ends on its own: a
// server that is silent this long has failed. The check's deadline bounds the
// whole. Under Wine only the response time-out set on the request ends a
// server that accepts and never answers; WinHttpSetTimeouts alone does not.
// A request given up at its deadline or at a stop is not interrupted (no
// handle is closed under a running call): its thread ends it within one of
// these, and the check does not wait for it.
const int kHttpStepTimeoutMs = 10000;

// A request in progress, shared by the thread that makes it and the thread
// that may cancel it. A cancel only marks the call: a synchronous handle must
// never be closed while a call on it runs, so the maker closes its handles
// itself once its call returns (at the latest at a step's time-out) and makes
// no further call. A proxy search through the platform's resolver is given
// up at once.
struct HttpCall {
  std::atomic<bool> cancelled{false};
};

// Where the proxy of a request came from, in the order they are tried.
enum class ProxySource {
  kMachine,    // WinHTTP's own setting ("netsh winhttp set proxy")
  kAutomatic,  // automatic detection or the script address
  kManual,     // the manual proxy of the account's Internet Options
  kDirect,     // none of them names a proxy, or a script said DIRECT
};

struct ProxyChoice {
  ProxySource source = ProxySource::kDirect;
  bool accountRead = false;          // whether the account's Internet Options could be read
  std::vector<AutoProxyStep> steps;  // automatic configuration as it was asked, in order
  std::vector<ProxyRoute> routes;    // in order; none: direct, unless unusable
  std::size_t unusable = 0;          // proxies named that WinHTTP cannot use (SOCKS, TLS)
  std::wstring bypass;
};

struct HttpAnswer {
  ProxyChoice proxy;
  std::vector<RouteAttempt> tried;   // each way out, as the walk went
  std::string route = "no request";  // the last one, as RouteText says it
  unsigned long status = 0;          // 0 when no answer came
  std::string contentType;
  std::string contentEncoding;
  std::string contentLength;  // as the header says
  std::string location;       // of a redirect that was not followed
  std::string finalUrl;       // where the answer came from, after redirects
  bool platformDecodes = false;
  std::string body;
};

// GET of url (ANSI) with the one header "Content-Type: text/xml", no body,
// no credentials and no cookies, through each way out the proxy setting names
// in turn while the one before gave no answer (fetch/proxy_routes.h). kOk with the final
// answer's head, and with its body when that answer counts as a document
// (fetch/document_gate.h); otherwise why not, with as much of the head as came: the failure of
// the request, an answer that does not count, a body past kMaxDocumentBytes (kTooLarge), a
// setting that names only proxies WinHTTP cannot use (kNoUsableProxy), and after a cancel
// kStopped.
CheckOutcome HttpGet(const char* url, HttpCall* call, HttpAnswer* answer);

// Ends the request of call as soon as the platform allows; HttpGet then
// returns kStopped.
void CancelHttpGet(HttpCall* call);

// Makes call ready for its next request.
void ResetHttpCall(HttpCall* call);

// The proxy for url, found as a service finds it: WinHTTP's own setting (the
// one "netsh winhttp set proxy" writes), else the Internet Options of the
// account the process runs as, in Windows' order: automatic detection, the
// script address, the manual proxy. The system account often has no
// Internet Options that can be read: automatic detection is still tried.
// Detection and the script address are asked one after the other, the script
// only when detection finds none, fails or hangs; each is given up after a
// step's time-out (from Windows 8 on). Returns the source kDirect when no
// setting names a proxy. The search is given up once cancelled turns true.
// What is found is kept for a minute for the address's scheme and host.
ProxyChoice FindProxy(const std::wstring& url, const std::atomic<bool>& cancelled);

// The setting a proxy came from, in words.
const char* ProxySourceWords(ProxySource source);

// The way an answer came, in the words the service's record and the check's
// report share: "direct", "proxy HOST:PORT from <the setting>", or "no
// request"; at most kMaxRouteText characters, ASCII only.
const std::size_t kMaxRouteText = 200;
std::string RouteText(const HttpAnswer& answer);

// The automatic configuration to ask for, from the account's Internet
// Options as far as they could be read.
struct AutoProxyPlan {
  bool detect = false;
  bool script = false;
};
AutoProxyPlan PlanAutoProxy(bool accountRead, bool accountDetects, const wchar_t* scriptUrl);
