#include "fetch/proxy_routes.h"

#include <algorithm>

namespace {

bool IsSeparator(wchar_t c) {
  return c == L';' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  });
  return text;
}

// The next word of list from *at on, or an empty one at its end.
std::wstring NextWord(const std::wstring& list, std::size_t* at) {
  while (*at < list.size() && IsSeparator(list[*at])) ++*at;
  const std::size_t start = *at;
  while (*at < list.size() && !IsSeparator(list[*at])) ++*at;
  return list.substr(start, *at - start);
}

bool IsSocks(const std::wstring& lowerScheme) { return lowerScheme.compare(0, 5, L"socks") == 0; }

enum class Entry { kUsable, kOtherScheme, kUnusable };

// A server as a setting writes it: "[scheme=][scheme://]host[:port]", made
// "host:port" in *server where it is a plain HTTP proxy for this scheme.
// "socks=" applies to every scheme (it is how Internet Options writes a SOCKS
// proxy), so it is one WinHTTP cannot use rather than one for another scheme.
Entry ServerFor(std::wstring* server, bool secure) {
  const std::size_t equals = server->find(L'=');
  if (equals != std::wstring::npos) {
    const std::wstring scheme = Lower(server->substr(0, equals));
    if (IsSocks(scheme)) return Entry::kUnusable;
    if (scheme != (secure ? L"https" : L"http")) return Entry::kOtherScheme;
    server->erase(0, equals + 1);
  }
  const std::size_t transport = server->find(L"://");
  if (transport != std::wstring::npos) {
    if (Lower(server->substr(0, transport)) != L"http") return Entry::kUnusable;
    server->erase(0, transport + 3);
  }
  while (!server->empty() && server->back() == L'/') server->pop_back();
  return server->empty() ? Entry::kOtherScheme : Entry::kUsable;
}

}  // namespace

std::vector<ProxyRoute> ParseProxyList(const std::wstring& list, bool secure,
                                       std::size_t* unusable) {
  std::vector<ProxyRoute> routes;
  std::size_t leftOut = 0;
  std::size_t at = 0;
  while (routes.size() < kMaxProxyRoutes) {
    std::wstring server = NextWord(list, &at);
    if (server.empty()) break;
    const std::wstring keyword = Lower(server);
    ProxyRoute route;
    if (keyword == L"direct") {
      routes.push_back(route);
      continue;
    }
    if (keyword == L"proxy" || keyword == L"http") {
      server = NextWord(list, &at);
      if (server.empty()) break;
    } else if (keyword == L"https" ||
               (IsSocks(keyword) && keyword.find_first_of(L":=") == std::wstring::npos)) {
      // A proxy reached over TLS or SOCKS: not one WinHTTP takes by name.
      if (!NextWord(list, &at).empty()) ++leftOut;
      continue;
    }
    switch (ServerFor(&server, secure)) {
      case Entry::kUsable:
        route.direct = false;
        route.proxy = server;
        routes.push_back(route);
        break;
      case Entry::kUnusable:
        ++leftOut;
        break;
      case Entry::kOtherScheme:
        break;
    }
  }
#ifdef VEXLO_FAULT_FIRST_PROXY_ONLY
  // Only in a test build with a deliberate fault, for the acceptance kit to catch:
  // a list is used by its first entry alone.
  if (routes.size() > 1) routes.resize(1);
#endif
  if (unusable != nullptr) *unusable = leftOut;
  return routes;
}

std::wstring ProxyAddress(const std::wstring& host, unsigned port) {
  // The port in decimal by hand: the library's conversion would bring a
  // whole formatted-output engine into the executable.
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + port % 10));
    port /= 10;
  } while (port != 0);
  const bool bareIpv6 = host.find(L':') != std::wstring::npos && host[0] != L'[';
  return (bareIpv6 ? L"[" + host + L"]" : host) + L":" + digits;
}

std::wstring ProxyAnswerKey(const std::wstring& url) {
  const std::size_t scheme = url.find(L"://");
  const std::size_t authority = scheme == std::wstring::npos ? 0 : scheme + 3;
  std::size_t end = url.find_first_of(L"/?#", authority);
  if (end == std::wstring::npos) end = url.size();
  std::wstring key = Lower(url.substr(0, end));
  // Credentials in the address are no part of where it goes.
  const std::size_t at = key.rfind(L'@', end);
  if (at != std::wstring::npos && at >= authority) key.erase(authority, at + 1 - authority);
  return key;
}

bool MovesToNextRoute(const RouteResult& result) {
  if (result.answered) return false;
  switch (result.outcome) {
    case CheckOutcome::kNameNotFound:
    case CheckOutcome::kConnectionRefused:
    case CheckOutcome::kConnectionLost:
    case CheckOutcome::kTimedOut:
      return true;
    default:
      return false;
  }
}
