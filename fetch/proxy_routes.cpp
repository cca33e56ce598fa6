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

// A server as a setting writes it: "[scheme=][http://]host[:port]". Empty
// when it is for another scheme or reached another way than plain HTTP.
std::wstring ServerFor(std::wstring server, bool secure) {
  const std::size_t equals = server.find(L'=');
  if (equals != std::wstring::npos) {
    if (Lower(server.substr(0, equals)) != (secure ? L"https" : L"http")) return std::wstring();
    server.erase(0, equals + 1);
  }
  const std::size_t scheme = server.find(L"://");
  if (scheme != std::wstring::npos) {
    if (Lower(server.substr(0, scheme)) != L"http") return std::wstring();
    server.erase(0, scheme + 3);
  }
  while (!server.empty() && server.back() == L'/') server.pop_back();
  return server;
}

}  // namespace

std::vector<ProxyRoute> ParseProxyList(const std::wstring& list, bool secure) {
  std::vector<ProxyRoute> routes;
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
    } else if (keyword == L"https" || keyword.compare(0, 5, L"socks") == 0) {
      // A proxy reached over TLS or SOCKS: not one WinHTTP takes by name.
      NextWord(list, &at);
      continue;
    }
    route.proxy = ServerFor(server, secure);
    if (route.proxy.empty()) continue;
    route.direct = false;
    routes.push_back(route);
  }
#ifdef VEXLO_FAULT_FIRST_PROXY_ONLY
  // Only in a test build with a deliberate fault, for the acceptance kit to catch:
  // a list is used by its first entry alone.
  if (routes.size() > 1) routes.resize(1);
#endif
  return routes;
}

bool MovesToNextRoute(const RouteResult& result) {
  if (result.connected) return false;
  return result.outcome == CheckOutcome::kConnectionRefused ||
         result.outcome == CheckOutcome::kNameNotFound || result.outcome == CheckOutcome::kTimedOut;
}
