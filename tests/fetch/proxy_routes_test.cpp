#include "fetch/proxy_routes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace {

// The routes as text, "DIRECT" for a direct one, for short assertions.
std::vector<std::wstring> Names(const std::vector<ProxyRoute>& routes) {
  std::vector<std::wstring> names(routes.size());
  std::transform(routes.begin(), routes.end(), names.begin(), [](const ProxyRoute& route) {
    return route.direct ? std::wstring(L"DIRECT") : route.proxy;
  });
  return names;
}

using RouteNames = std::vector<std::wstring>;

TEST(ProxyList, ScriptAnswersKeepEveryWayOutInOrder) {
  EXPECT_EQ((RouteNames{L"a.test:8080", L"b.test:8080", L"DIRECT"}),
            Names(ParseProxyList(L"PROXY a.test:8080; PROXY b.test:8080; DIRECT", false)));
  // As Windows 7's call gives them, and in other spellings.
  EXPECT_EQ((RouteNames{L"a.test:8080", L"b.test:8080"}),
            Names(ParseProxyList(L"a.test:8080;b.test:8080", true)));
  EXPECT_EQ((RouteNames{L"a:1", L"b:2", L"c:3"}),
            Names(ParseProxyList(L"  a:1 \t b:2;;\r\nc:3; ", false)));
  EXPECT_EQ((RouteNames{L"a:1", L"DIRECT"}), Names(ParseProxyList(L"proxy a:1;direct", false)));
  EXPECT_EQ((RouteNames{L"a:1"}), Names(ParseProxyList(L"HTTP a:1", false)));
  EXPECT_EQ((RouteNames{L"a:1"}), Names(ParseProxyList(L"http://a:1/", false)));
}

TEST(ProxyList, PerSchemeEntriesApplyOnlyToTheirScheme) {
  const std::wstring list = L"http=a:80;https=b:443;ftp=c:21;d:3128";
  EXPECT_EQ((RouteNames{L"a:80", L"d:3128"}), Names(ParseProxyList(list, false)));
  EXPECT_EQ((RouteNames{L"b:443", L"d:3128"}), Names(ParseProxyList(list, true)));
  EXPECT_EQ((RouteNames{L"b:443"}), Names(ParseProxyList(L"HTTPS=b:443", true)));
  EXPECT_TRUE(ParseProxyList(L"ftp=c:21", false).empty());
}

TEST(ProxyList, WaysWinHttpCannotTakeAndBrokenTextAreLeftOut) {
  EXPECT_EQ((RouteNames{L"DIRECT"}),
            Names(ParseProxyList(L"SOCKS s:1080; SOCKS5 t:1080; HTTPS h:443; DIRECT", false)));
  EXPECT_EQ((RouteNames{L"a:1"}),
            Names(ParseProxyList(L"socks=s:1080;socks://s:1;https://h:2;a:1", false)));
  EXPECT_TRUE(ParseProxyList(L"", false).empty());
  EXPECT_TRUE(ParseProxyList(L" ; ;", false).empty());
  EXPECT_TRUE(ParseProxyList(L"PROXY", false).empty());
  EXPECT_TRUE(ParseProxyList(L"http=", false).empty());
  // A script that names hundreds of proxies costs at most a few attempts.
  std::wstring many;
  for (int i = 0; i < 500; ++i) many += L"PROXY p" + std::to_wstring(i) + L":1; ";
  const std::vector<ProxyRoute> cut = ParseProxyList(many, false);
  ASSERT_EQ(kMaxProxyRoutes, cut.size());
  EXPECT_EQ(L"p0:1", cut.front().proxy);
  EXPECT_EQ(L"p7:1", cut.back().proxy);
}

// The walk with results given in advance, as a proxy of each kind would answer.
struct Walk {
  std::vector<RouteResult> results;
  int cancelAfter = -1;  // attempts after which the check is over
  std::vector<RouteAttempt> tried;

  CheckOutcome Run(const std::vector<ProxyRoute>& routes) {
    std::atomic<bool> cancelled{cancelAfter == 0};
    std::size_t next = 0;
    return WalkProxyRoutes(
        routes, cancelled,
        [&](const ProxyRoute&) {
          const RouteResult result = results.at(next++);
          if (static_cast<int>(next) == cancelAfter) cancelled = true;
          return result;
        },
        &tried);
  }
};

RouteResult Refused() { return RouteResult{CheckOutcome::kConnectionRefused, false}; }

TEST(ProxyWalk, ConnectFailuresMoveOnAndAnyAnswerEndsTheWalk) {
  const std::vector<ProxyRoute> routes = ParseProxyList(L"PROXY a:1; PROXY b:2; DIRECT", false);
  Walk walk;
  walk.results = {Refused(), RouteResult{CheckOutcome::kNameNotFound, false},
                  RouteResult{CheckOutcome::kOk, true}};
  EXPECT_EQ(CheckOutcome::kOk, walk.Run(routes));
  ASSERT_EQ(3u, walk.tried.size());
  EXPECT_EQ(L"a:1", walk.tried[0].route.proxy);
  EXPECT_EQ(CheckOutcome::kConnectionRefused, walk.tried[0].result.outcome);
  EXPECT_TRUE(walk.tried[2].route.direct);

  // A proxy that answers, even with an error or a sign-in page, is the way
  // out: the next one would only hide what it said.
  for (const CheckOutcome answered : {CheckOutcome::kErrorStatus, CheckOutcome::kHtmlPage}) {
    Walk stop;
    stop.results = {Refused(), RouteResult{answered, true}, RouteResult{CheckOutcome::kOk, true}};
    EXPECT_EQ(answered, stop.Run(routes));
    EXPECT_EQ(2u, stop.tried.size());
  }
  // A proxy that took the connection and then went silent or dropped it.
  for (const CheckOutcome broken : {CheckOutcome::kTimedOut, CheckOutcome::kConnectionLost}) {
    Walk stop;
    stop.results = {RouteResult{broken, true}, RouteResult{CheckOutcome::kOk, true}};
    EXPECT_EQ(broken, stop.Run(routes));
    EXPECT_EQ(1u, stop.tried.size());
  }
  // A proxy that never answered the connect.
  Walk silent;
  silent.results = {RouteResult{CheckOutcome::kTimedOut, false},
                    RouteResult{CheckOutcome::kOk, true}};
  EXPECT_EQ(CheckOutcome::kOk, silent.Run(routes));
  // A certificate that is not trusted is an answer of the server's, not a dead way.
  Walk untrusted;
  untrusted.results = {RouteResult{CheckOutcome::kCertificateUntrusted, false}, Refused()};
  EXPECT_EQ(CheckOutcome::kCertificateUntrusted, untrusted.Run(routes));
  EXPECT_EQ(1u, untrusted.tried.size());
}

TEST(ProxyWalk, EveryWayDeadGivesTheLastFailureAndNoListMeansDirect) {
  Walk dead;
  dead.results = {Refused(), Refused()};
  EXPECT_EQ(CheckOutcome::kConnectionRefused, dead.Run(ParseProxyList(L"a:1;b:2", false)));
  EXPECT_EQ(2u, dead.tried.size());

  Walk direct;
  direct.results = {RouteResult{CheckOutcome::kOk, true}};
  EXPECT_EQ(CheckOutcome::kOk, direct.Run({}));
  ASSERT_EQ(1u, direct.tried.size());
  EXPECT_TRUE(direct.tried[0].route.direct);
}

TEST(ProxyWalk, TheChecksEndStopsTheWalkBeforeTheNextWay) {
  Walk walk;
  walk.results = {Refused(), Refused(), Refused()};
  walk.cancelAfter = 1;
  EXPECT_EQ(CheckOutcome::kStopped, walk.Run(ParseProxyList(L"a:1;b:2;c:3", false)));
  EXPECT_EQ(1u, walk.tried.size());

  Walk before;
  before.cancelAfter = 0;
  EXPECT_EQ(CheckOutcome::kStopped, before.Run(ParseProxyList(L"a:1", false)));
  EXPECT_TRUE(before.tried.empty());
}

}  // namespace
