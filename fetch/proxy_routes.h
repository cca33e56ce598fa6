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
// host:port", "HTTPS host:port", "DIRECT". SOCKS entries and entries for other
// schemes are left out. A list that names nothing for the scheme is empty.
std::vector<ProxyRoute> ParseProxyList(const std::wstring& list, bool secure);

// How one route went: its outcome, and whether a connection to the proxy or
// server was made (a failure before that moves the walk on).
struct RouteResult {
  CheckOutcome outcome = CheckOutcome::kOk;
  bool connected = false;
};

struct RouteAttempt {
  ProxyRoute route;
  RouteResult result;
};

// Whether the walk goes on to the next route after this result: only when no
// connection was made because the proxy or server refused it, could not be
// named or did not answer the connect.
bool MovesToNextRoute(const RouteResult& result);

// Tries the routes in order until one gives an answer of any kind, or its
// failure is not one that moves on, or cancelled turns true. Each attempt
// (attempt(route) gives its RouteResult) is appended to tried. An empty list
// tries the direct route. Returns the outcome of the last attempt, kStopped
// when the check was over before one.
template <typename Attempt>
CheckOutcome WalkProxyRoutes(const std::vector<ProxyRoute>& routes,
                             const std::atomic<bool>& cancelled, Attempt attempt,
                             std::vector<RouteAttempt>* tried) {
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
