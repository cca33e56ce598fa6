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
  std::size_t unusable = 0;
  EXPECT_EQ(
      (RouteNames{L"DIRECT"}),
      Names(ParseProxyList(L"SOCKS s:1080; SOCKS5 t:1080; HTTPS h:443; DIRECT", false, &unusable)));
  EXPECT_EQ(3u, unusable);
  EXPECT_EQ((RouteNames{L"a:1"}),
            Names(ParseProxyList(L"socks=s:1080;socks://s:1;https://h:2;a:1", false, &unusable)));
  EXPECT_EQ(3u, unusable);
  // Entries for another scheme are none of this address's business.
  EXPECT_TRUE(ParseProxyList(L"ftp=c:21;https=b:443", false, &unusable).empty());
  EXPECT_EQ(0u, unusable);
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
  std::size_t unusable = 0;
  std::vector<RouteAttempt> tried;

  CheckOutcome Run(const std::vector<ProxyRoute>& routes) {
    std::atomic<bool> cancelled{cancelAfter == 0};
    std::size_t next = 0;
    return WalkProxyRoutes(
        routes, unusable, cancelled,
        [&](const ProxyRoute&) {
          const RouteResult result = results.at(next++);
          if (static_cast<int>(next) == cancelAfter) cancelled = true;
          return result;
        },
        &tried);
  }
};

RouteResult Refused() { return RouteResult{CheckOutcome::kConnectionRefused, false}; }

TEST(ProxyList, ResolverProxiesAreNamedAsWinHttpTakesThem) {
  EXPECT_EQ(L"proxy.test:8080", ProxyAddress(L"proxy.test", 8080));
  EXPECT_EQ(L"10.0.0.1:3128", ProxyAddress(L"10.0.0.1", 3128));
  // An IPv6 literal keeps its brackets, or its port would read as part of it.
  EXPECT_EQ(L"[::1]:8080", ProxyAddress(L"::1", 8080));
  EXPECT_EQ(L"[fe80::1]:0", ProxyAddress(L"[fe80::1]", 0));
  EXPECT_EQ(L"[::1]:8080", Names(ParseProxyList(L"PROXY [::1]:8080", false)).at(0));
}

TEST(ProxyList, AnswersAreKeptPerSchemeAndHost) {
  EXPECT_NE(ProxyAnswerKey(L"http://Vexlo.test/a.xml"),
            ProxyAnswerKey(L"https://vexlo.test/a.xml"));
  EXPECT_NE(ProxyAnswerKey(L"http://a.test/x"), ProxyAnswerKey(L"http://b.test/x"));
  EXPECT_EQ(ProxyAnswerKey(L"http://vexlo.test/a.xml?time=1"),
            ProxyAnswerKey(L"HTTP://VEXLO.test/other.xml?time=2"));
  EXPECT_EQ(ProxyAnswerKey(L"http://vexlo.test"), ProxyAnswerKey(L"http://user@vexlo.test/x"));
  EXPECT_NE(ProxyAnswerKey(L"http://[::1]:80/x"), ProxyAnswerKey(L"http://[::2]:80/x"));
}

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
  // A proxy that took the connection and the request, then reset it or went
  // silent before any status line: the next one carries the request.
  for (const CheckOutcome broken : {CheckOutcome::kTimedOut, CheckOutcome::kConnectionLost}) {
    Walk next;
    next.results = {RouteResult{broken, false}, RouteResult{CheckOutcome::kOk, true}};
    EXPECT_EQ(CheckOutcome::kOk, next.Run(routes));
    EXPECT_EQ(2u, next.tried.size());
  }
  // The same once an answer had begun: the answer is the way out's word.
  for (const CheckOutcome broken :
       {CheckOutcome::kTimedOut, CheckOutcome::kConnectionLost, CheckOutcome::kTooLarge}) {
    Walk stop;
    stop.results = {RouteResult{broken, true}, RouteResult{CheckOutcome::kOk, true}};
    EXPECT_EQ(broken, stop.Run(routes));
    EXPECT_EQ(1u, stop.tried.size());
  }
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

TEST(ProxyWalk, AListOfOnlyProxiesWinHttpCannotUseNeverGoesDirect) {
  std::size_t unusable = 0;
  const std::vector<ProxyRoute> routes =
      ParseProxyList(L"SOCKS s:1080; HTTPS h:443", false, &unusable);
  Walk walk;
  walk.unusable = unusable;
  walk.results = {RouteResult{CheckOutcome::kOk, true}};
  EXPECT_EQ(CheckOutcome::kNoUsableProxy, walk.Run(routes));
  EXPECT_TRUE(walk.tried.empty());
  EXPECT_STRNE("", CheckOutcomeText(CheckOutcome::kNoUsableProxy));
  // With a DIRECT among them, the script allowed the direct way.
  Walk allowed;
  allowed.results = {RouteResult{CheckOutcome::kOk, true}};
  EXPECT_EQ(CheckOutcome::kOk,
            allowed.Run(ParseProxyList(L"SOCKS s:1080; DIRECT", false, &allowed.unusable)));
  ASSERT_EQ(1u, allowed.tried.size());
  EXPECT_TRUE(allowed.tried[0].route.direct);
}

// Automatic configuration with each source's end given in advance.
std::vector<AutoProxyStep> AskInOrder(bool detect, bool script, AutoProxyEnd detection,
                                      AutoProxyEnd scriptEnd, bool* answered) {
  std::vector<AutoProxyStep> steps;
  *answered = AskAutoProxyInOrder(
      detect, script,
      [&](bool isScript) {
        AutoProxyStep step;
        step.end = isScript ? scriptEnd : detection;
        return step;
      },
      &steps);
  return steps;
}

TEST(AutoProxyOrder, ASourceThatHangsOrFailsHandsOnToTheNext) {
  bool answered = false;
  std::vector<AutoProxyStep> steps =
      AskInOrder(true, true, AutoProxyEnd::kHung, AutoProxyEnd::kAnswered, &answered);
  EXPECT_TRUE(answered);
  ASSERT_EQ(2u, steps.size());
  EXPECT_FALSE(steps[0].script);
  EXPECT_EQ(AutoProxyEnd::kHung, steps[0].end);
  EXPECT_TRUE(steps[1].script);
  // Both dead: the manual proxy comes next, and the steps say why.
  steps = AskInOrder(true, true, AutoProxyEnd::kFailed, AutoProxyEnd::kHung, &answered);
  EXPECT_FALSE(answered);
  ASSERT_EQ(2u, steps.size());
  EXPECT_EQ(AutoProxyEnd::kHung, steps[1].end);
  // Detection that answers ends the search; one that finds nothing does not.
  EXPECT_EQ(1u,
            AskInOrder(true, true, AutoProxyEnd::kAnswered, AutoProxyEnd::kHung, &answered).size());
  EXPECT_EQ(
      2u,
      AskInOrder(true, true, AutoProxyEnd::kNothing, AutoProxyEnd::kAnswered, &answered).size());
  EXPECT_TRUE(answered);
  // Only what is planned is asked, and a stop asks nothing more.
  steps = AskInOrder(false, true, AutoProxyEnd::kAnswered, AutoProxyEnd::kFailed, &answered);
  ASSERT_EQ(1u, steps.size());
  EXPECT_TRUE(steps[0].script);
  EXPECT_EQ(
      1u,
      AskInOrder(true, true, AutoProxyEnd::kStopped, AutoProxyEnd::kAnswered, &answered).size());
  EXPECT_FALSE(answered);
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
