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

std::vector<std::wstring> Words(const std::wstring& list) {
  std::vector<std::wstring> words;
  std::wstring word;
  for (wchar_t c : list) {
    if (!IsSeparator(c)) {
      word += c;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
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
  const std::vector<std::wstring> words = Words(list);
  for (std::size_t i = 0; i < words.size() && routes.size() < kMaxProxyRoutes; ++i) {
    const std::wstring keyword = Lower(words[i]);
    ProxyRoute route;
    if (keyword == L"direct") {
      routes.push_back(route);
      continue;
    }
    std::wstring server = words[i];
    if (keyword == L"proxy" || keyword == L"http") {
      if (++i == words.size()) break;
      server = words[i];
    } else if (keyword == L"https" || keyword.compare(0, 5, L"socks") == 0) {
      // A proxy reached over TLS or SOCKS: not one WinHTTP takes by name.
      ++i;
      continue;
    }
    route.proxy = ServerFor(server, secure);
    if (route.proxy.empty()) continue;
    route.direct = false;
    routes.push_back(route);
  }
  return routes;
}

bool MovesToNextRoute(const RouteResult& result) {
  if (result.connected) return false;
  return result.outcome == CheckOutcome::kConnectionRefused ||
         result.outcome == CheckOutcome::kNameNotFound || result.outcome == CheckOutcome::kTimedOut;
}

CheckOutcome WalkProxyRoutes(const std::vector<ProxyRoute>& routes,
                             const std::function<bool()>& cancelled,
                             const std::function<RouteResult(const ProxyRoute&)>& attempt,
                             std::vector<RouteAttempt>* tried) {
  const std::vector<ProxyRoute> direct(1);
  CheckOutcome last = CheckOutcome::kStopped;
  for (const ProxyRoute& route : routes.empty() ? direct : routes) {
    if (cancelled()) return CheckOutcome::kStopped;
    const RouteResult result = attempt(route);
    tried->push_back(RouteAttempt{route, result});
    last = result.outcome;
    if (!MovesToNextRoute(result)) break;
  }
  return last;
}
