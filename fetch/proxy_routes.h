// The ways out to the version document that a proxy setting names, and the
// walk over them. WinHTTP itself takes only the first proxy of a list and
// never fails over: a script's "PROXY a:8080; PROXY b:8080; DIRECT", or a
// setting of "a:80;b:80", is walked here, in its order. Free of Windows
// headers.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "common/check_outcome.h"

// One way out: through a proxy ("host:port"), or direct.
struct ProxyRoute {
  bool direct = true;
  std::wstring proxy;
};

// A list longer than this is cut: each dead entry may cost a step's time-out,
// and the check's deadline bounds the walk anyway.
const std::size_t kMaxProxyRoutes = 8;

// The routes a proxy list names for a request of the given scheme, in order,
// at most kMaxProxyRoutes. Entries are separated by ';' or white space and
// take any of the forms WinHTTP's settings and scripts give: "host:port",
// "http://host:port", "http=host:port" (only for that scheme), "PROXY
// host:port", "HTTPS host:port", "DIRECT". Entries for other schemes are left
// out (a list that names none for this scheme sends it direct). Proxies
// WinHTTP cannot speak to (SOCKS, or a proxy over TLS) are left out too, and
// counted in *unusable: a list of nothing else allows no way out.
std::vector<ProxyRoute> ParseProxyList(const std::wstring& list, bool secure,
                                       std::size_t* unusable = nullptr);

// A proxy the resolver names by host and port, as WinHTTP takes it by name:
// "host:port", an IPv6 literal in brackets ("[::1]:8080").
std::wstring ProxyAddress(const std::wstring& host, unsigned port);

// What the proxy found for url is kept under: its scheme and host, in lower
// case (with the port, where one is given). A script may answer http and
// https addresses of one host differently, and so may a setting.
std::wstring ProxyAnswerKey(const std::wstring& url);

// How one route went: its outcome, and whether an answer (a status line)
// came back from the proxy or server.
struct RouteResult {
  CheckOutcome outcome = CheckOutcome::kOk;
  bool answered = false;
};

struct RouteAttempt {
  ProxyRoute route;
  RouteResult result;
};

// Whether the walk goes on to the next route after this result: only when no
// answer came back and the proxy or server could not be named, refused the
// connection, dropped or reset it, or went silent; the GET is safe to send
// again. The errors are those of IsErrorValidForProxyFailover in Microsoft's
// WinhttpProxy sample (name not resolved, cannot connect, connection error,
// time-out). An answer of any kind ends the walk, and so does a stop.
bool MovesToNextRoute(const RouteResult& result);

// Tries the routes in order until one gives an answer of any kind, or its
// failure is not one that moves on, or cancelled turns true. Each attempt
// (attempt(route) gives its RouteResult) is appended to tried. An empty list
// tries the direct route, unless the setting named only proxies WinHTTP
// cannot use (unusable): then nothing is tried and the outcome is
// kNoUsableProxy. Returns the outcome of the last attempt, kStopped when the
// check was over before one.
template <typename Attempt>
CheckOutcome WalkProxyRoutes(const std::vector<ProxyRoute>& routes, std::size_t unusable,
                             const std::atomic<bool>& cancelled, Attempt attempt,
                             std::vector<RouteAttempt>* tried) {
  if (routes.empty() && unusable != 0) return CheckOutcome::kNoUsableProxy;
  const std::vector<ProxyRoute> direct(routes.empty() ? 1 : 0);
  CheckOutcome last = CheckOutcome::kStopped;
  for (const ProxyRoute& route : routes.empty() ? direct : routes) {
    if (cancelled) return CheckOutcome::kStopped;
    const RouteResult result = attempt(route);
    tried->push_back(RouteAttempt{route, result});
    last = result.outcome;
    if (!MovesToNextRoute(result)) break;
  }
  return last;
}

// How asking one source of automatic configuration ended.
enum class AutoProxyEnd {
  kAnswered,  // a list, DIRECT included
  kNothing,   // detection found no script
  kFailed,    // the script could not be had or run, or the search failed
  kHung,      // no answer within the step's time-out: given up
  kStopped,   // the check was over first
};

struct AutoProxyStep {
  bool script = false;  // the script address; otherwise automatic detection
  AutoProxyEnd end = AutoProxyEnd::kNothing;
  unsigned long error = 0;  // the platform's error, with kFailed
};

// Asks automatic detection, then the script address, each where planned,
// until one answers; ask(script) gives how each ended, and each is appended
// to steps. A source that finds nothing, fails or hangs hands on to the next,
// as Microsoft's WinhttpProxy sample falls back from detection to the script
// address to the manual proxy; a stop ends the search. True when one
// answered.
template <typename Ask>
bool AskAutoProxyInOrder(bool detect, bool script, Ask ask, std::vector<AutoProxyStep>* steps) {
  for (const bool isScript : {false, true}) {
    if (!(isScript ? script : detect)) continue;
    steps->push_back(ask(isScript));
    steps->back().script = isScript;
    if (steps->back().end == AutoProxyEnd::kAnswered) return true;
    if (steps->back().end == AutoProxyEnd::kStopped) return false;
  }
  return false;
}
