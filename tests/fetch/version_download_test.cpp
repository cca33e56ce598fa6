#include <windows.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <string>
#include <thread>

#include "common/path_buffer.h"
#include "fetch/fetch.h"
#include "fetch/proxy_resolver.h"
#include "fetch/system_libraries.h"
#include "fetch/winhttp_request.h"
#include "tests/support/test_support.h"

namespace {

class VersionDownload : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = g_baseUrl; }
  void TearDown() override { CopyPath(g_baseUrl, saved_.c_str()); }
  void Use(const std::string& url) { ASSERT_TRUE(CopyPath(g_baseUrl, url.c_str())); }
  std::string saved_;
};

TEST_F(VersionDownload, GetsTheDocumentWithTimeAndContentType) {
  const std::string name = UniqueName("doc");
  ServeDocument(name, "<v><a>1.0.7</a></v>");
  Use(ServerUrl("/doc/" + name));
  const long long before = _time64(nullptr);
  EXPECT_EQ("<v><a>1.0.7</a></v>", FetchVersionDocument());
  const long long after = _time64(nullptr);

  const std::string logged = LoggedRequests("/doc/" + name + "?");
  ASSERT_FALSE(logged.empty());
  const std::size_t at = logged.find("?time=");
  ASSERT_NE(std::string::npos, at);
  const long long sent = std::stoll(logged.substr(at + 6));
  EXPECT_GE(sent, before);
  EXPECT_LE(sent, after);
  EXPECT_EQ(std::string::npos, logged.find("?time=", at + 1));
  EXPECT_NE(std::string::npos, logged.find("\"Content-Type\": \"text/xml\""));
}

TEST_F(VersionDownload, EachRequestBuildsItsUrlAfresh) {
  const std::string name = UniqueName("twice");
  ServeDocument(name, "<v><a>1</a></v>");
  Use(ServerUrl("/doc/" + name));
  FetchVersionDocument();
  FetchVersionDocument();
  const std::string logged = LoggedRequests("/doc/" + name + "?");
  EXPECT_EQ(2u, std::count(logged.begin(), logged.end(), '\n'));
  std::size_t lineStart = 0;
  for (int line = 0; line < 2; ++line) {
    const std::size_t lineEnd = logged.find('\n', lineStart);
    const std::string text = logged.substr(lineStart, lineEnd - lineStart);
    const std::size_t first = text.find("?time=");
    EXPECT_NE(std::string::npos, first) << text;
    EXPECT_EQ(std::string::npos, text.find("?time=", first + 1)) << text;
    lineStart = lineEnd + 1;
  }
  EXPECT_EQ(ServerUrl("/doc/" + name), g_baseUrl);
}

// Error answers of cloud storage, a proxy's request for credentials and a
// captive portal's sign-in page (reached through a redirect) are no version
// documents, whatever their bodies hold.
TEST_F(VersionDownload, OnlyASuccessfulAnswerThatIsNoWebPageIsADocument) {
  for (const char* route : {"/xmlerror404", "/xmlerror403", "/xmlerror500", "/xmlerror503",
                            "/proxyauth", "/portal", "/htmlversion", "/status404"}) {
    Use(ServerUrl(route));
    EXPECT_EQ("", FetchVersionDocument()) << route;
  }
  EXPECT_NE("", LoggedRequests("/portalpage"));  // the redirect was followed
  // The same XML body with a 2xx status counts: status and type decide.
  Use(ServerUrl("/xmlerror200"));
  EXPECT_NE(std::string::npos, FetchVersionDocument().find("<Code>NoSuchKey</Code>"));
}

TEST_F(VersionDownload, EmptyBodyGivesEmptyText) {
  Use(ServerUrl("/empty"));
  EXPECT_EQ("", FetchVersionDocument());
}

TEST_F(VersionDownload, TextEndsAtTheFirstNul) {
  Use(ServerUrl("/nul"));
  EXPECT_EQ("ab", FetchVersionDocument());
}

// Failed connections end as soon as the request fails, not at the one-minute
// deadline. The bound only tells the two apart; it is far above the time a
// failure takes on a slow or busy machine.
const ULONGLONG kPromptMs = 20000;

TEST_F(VersionDownload, FailedConnectionsGiveEmptyTextAtOnceAndKeepTheUrl) {
  for (const std::string& url :
       {std::string("http://127.0.0.1:1/flash/config/desktop.xml"), ServerUrl("/drop"),
        ServerUrl("/close"), std::string("http://no-such-host.invalid/desktop.xml"),
        std::string("file:///C:/windows/win.ini")}) {
    Use(url);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ("", FetchVersionDocument()) << url;
    EXPECT_LT(GetTickCount64() - start, kPromptMs) << url;
    EXPECT_EQ(url, g_baseUrl);
  }
}

// What neither completes nor fails ends at the deadline (a short one here),
// not long after it: a trickling body would take hours, a silent server forever.
const unsigned long kShortDeadlineMs = 1500;
const ULONGLONG kPastTheDeadlineMs = 15000;
// A request given up ends at its next time-out at the latest (ten seconds).
const int kGoneMs = 30000;

TEST_F(VersionDownload, SilentServerAndTricklingBodyEndAtTheDeadline) {
  for (const char* route : {"/hang", "/trickle", "/reset"}) {
    Use(ServerUrl(route));
    const ULONGLONG start = GetTickCount64();
    const std::string text = FetchVersionDocumentWithin(kShortDeadlineMs);
    const ULONGLONG took = GetTickCount64() - start;
    // A reset mid-body may also end early with the part that came.
    EXPECT_TRUE(text.empty() || text == std::string(100, 'x')) << route << " " << text.size();
    EXPECT_LT(took, kShortDeadlineMs + kPastTheDeadlineMs) << route;
    if (std::string(route) != "/reset") {
      EXPECT_GE(took, kShortDeadlineMs - 100) << route;
    }
  }
}

DWORD HandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

TEST_F(VersionDownload, RequestsGivenUpStayFewWhateverTheServerDoes) {
  const std::string name = UniqueName("out");
  Use(ServerUrl("/hang?id=" + name));
  // Each hung request holds a thread and a connection until the server lets
  // go; past the limit no new request is made, so nothing grows any more.
  for (int i = 0; i < 3; ++i) EXPECT_EQ("", FetchVersionDocumentWithin(200));
  const int threadsAtTheLimit = ThreadCount();
  const DWORD handlesAtTheLimit = HandleCount();
  for (int i = 0; i < 20; ++i) EXPECT_EQ("", FetchVersionDocumentWithin(200));
  EXPECT_EQ(3, RequestsOut());
  EXPECT_EQ(threadsAtTheLimit, ThreadCount());
  EXPECT_LE(HandleCount(), handlesAtTheLimit + 2);
  const std::string logged = LoggedRequests(name);
  EXPECT_EQ(3, std::count(logged.begin(), logged.end(), '\n'));
  // Cancelled, they end at the latest at their next time-out, and take their
  // threads with them.
  EXPECT_TRUE(WaitFor([] { return RequestsOut() == 0; }, kGoneMs));
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threadsAtTheLimit - 3; }, kGoneMs));
}

ULONGLONG CpuMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto ms = [](const FILETIME& t) {
    return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
  };
  return ms(kernel) + ms(user);
}

// A body given up at the deadline or stopped at the bound leaves nothing that
// goes on reading: once the requests are gone, the process is idle.
TEST_F(VersionDownload, NothingGoesOnReadingAfterAGiveUp) {
  Use(ServerUrl("/trickle?id=" + UniqueName("cpu")));
  EXPECT_EQ("", FetchVersionDocumentWithin(500));
  Use(ServerUrl("/endless"));
  EXPECT_EQ("", FetchVersionDocument());
  ASSERT_TRUE(WaitFor([] { return RequestsOut() <= 1; }, kGoneMs));
  const ULONGLONG before = CpuMs();
  Sleep(2000);
  EXPECT_LT(CpuMs() - before, 500u);  // a request still reading would use it all
}

TEST_F(VersionDownload, ByteOrderMarkIsDroppedFromUtf8AndUtf16Documents) {
  const std::string expected = "<?xml version=\"1.0\"?>\r\n<version><v>8.8</v></version>\r\n";
  for (const char* route : {"/bom8", "/bom16", "/bom16be"}) {
    Use(ServerUrl(route));
    EXPECT_EQ(expected, FetchVersionDocument()) << route;
  }
}

// Without a mark the Content-Type's charset decides, else UTF-8; the text is
// then in the ANSI code page (1252 in the test prefix).
TEST_F(VersionDownload, BodiesAreReadInTheirCharsetAndGivenInTheAnsiCodePage) {
  ASSERT_EQ(1252u, GetACP());
  Use(ServerUrl("/latin1"));
  EXPECT_EQ("<v><a>caf\xE9</a></v>", FetchVersionDocument());
  const std::string name = UniqueName("utf8");
  ServeDocument(name, "<v><a>caf\xC3\xA9</a></v>");
  Use(ServerUrl("/doc/" + name));
  EXPECT_EQ("<v><a>caf\xE9</a></v>", FetchVersionDocument());
}

// Reading stops one byte past the bound, however much more the server has.
TEST_F(VersionDownload, BodyPastTheBoundGivesEmptyTextAtOnce) {
  for (const char* route : {"/oversize", "/endless"}) {
    Use(ServerUrl(route));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ("", FetchVersionDocument()) << route;
    EXPECT_LT(GetTickCount64() - start, kPromptMs) << route;
  }
  Use(ServerUrl("/big"));  // 768 KiB: inside the bound
  EXPECT_EQ(17u + 768u * 1024u, FetchVersionDocument().size());
}

TEST_F(VersionDownload, UrlThatDoesNotFitMakesNoRequest) {
  const std::string name = UniqueName("long");
  std::string base = ServerUrl("/doc/") + name;
  base += std::string(250 - base.size(), 'x');  // "?time=" and the digits pass 259
  Use(base);
  EXPECT_EQ("", FetchVersionDocument());
  EXPECT_EQ("", LoggedRequests(name));
}

TEST(SystemLibraries, AreLoadedFromTheSystemFolderOrNotAtAll) {
  ASSERT_TRUE(BindSystemLibrary(SystemLibrary::kWinHttp));
  ASSERT_TRUE(BindSystemLibrary(SystemLibrary::kCng));
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  for (const wchar_t* name : {L"winhttp.dll", L"bcrypt.dll"}) {
    wchar_t loaded[MAX_PATH];
    ASSERT_NE(nullptr, GetModuleHandleW(name));
    ASSERT_NE(0u, GetModuleFileNameW(GetModuleHandleW(name), loaded, MAX_PATH));
    EXPECT_EQ(CSTR_EQUAL, CompareStringOrdinal(loaded, static_cast<int>(length), system,
                                               static_cast<int>(length), TRUE));
  }
  // A function or library that is missing fails the bind, never the process.
  const char* const missing[] = {"WinHttpOpen", "WinHttpNoSuchFunction"};
  EXPECT_FALSE(LoadSystemLibrary(L"winhttp.dll", missing, 2));
  EXPECT_FALSE(LoadSystemLibrary(L"vexlo-no-such-library.dll", missing, 1));
}

TEST(ProxySettings, AccountSettingsThatCannotBeReadStillTryDetection) {
  // The system account on Windows, whose Internet Options were never written.
  AutoProxyPlan plan = PlanAutoProxy(false, false, nullptr);
  EXPECT_TRUE(plan.detect);
  EXPECT_FALSE(plan.script);
  plan = PlanAutoProxy(false, false, L"http://wpad.test/proxy.pac");
  EXPECT_TRUE(plan.detect);
  EXPECT_FALSE(plan.script);
  // Settings that were read are followed as they are.
  plan = PlanAutoProxy(true, false, L"");
  EXPECT_FALSE(plan.detect);
  EXPECT_FALSE(plan.script);
  plan = PlanAutoProxy(true, true, L"http://wpad.test/proxy.pac");
  EXPECT_TRUE(plan.detect);
  EXPECT_TRUE(plan.script);
}

// A resolver of the test's own, as Windows 8's would answer (Wine has none).
enum class Resolving { kHangs, kStrayErrorThenList };
struct FakeResolver {
  Resolving how = Resolving::kHangs;
  DWORD_PTR context = 0;
  std::thread late;  // delivers the completion after the call has returned
  bool closed = false;
};
FakeResolver s_resolver;
WINHTTP_PROXY_RESULT_ENTRY s_entries[4] = {
    {TRUE, FALSE, INTERNET_SCHEME_HTTP, const_cast<PWSTR>(L"::1"), 8080},
    {TRUE, FALSE, INTERNET_SCHEME_SOCKS, const_cast<PWSTR>(L"socks.test"), 1080},
    {TRUE, FALSE, INTERNET_SCHEME_HTTP, const_cast<PWSTR>(L"proxy.test"), 3128},
    {FALSE, FALSE, INTERNET_SCHEME_HTTP, nullptr, 0}};

void Deliver(HINTERNET resolver, DWORD_PTR context, DWORD status, DWORD api, DWORD error) {
  WINHTTP_ASYNC_RESULT result = {api, error};
  OnResolverStatus(resolver, context, status, &result, sizeof result);
}

DWORD WINAPI FakeCreate(HINTERNET, HINTERNET* resolver) {
  *resolver = reinterpret_cast<HINTERNET>(&s_resolver);
  return ERROR_SUCCESS;
}

DWORD WINAPI FakeAsk(HINTERNET resolver, PCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, DWORD_PTR context) {
  s_resolver.context = context;
  if (s_resolver.how == Resolving::kStrayErrorThenList) {
    // Another call's error first, then this call's own completion.
    Deliver(resolver, context, WINHTTP_CALLBACK_STATUS_REQUEST_ERROR, API_SEND_REQUEST,
            ERROR_WINHTTP_CONNECTION_ERROR);
    s_resolver.late = std::thread([resolver, context] {
      Sleep(200);
      OnResolverStatus(resolver, context, WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE, nullptr,
                       0);
    });
  }
  return ERROR_IO_PENDING;
}

DWORD WINAPI FakeResult(HINTERNET, WINHTTP_PROXY_RESULT* result) {
  result->cEntries = 4;
  result->pEntries = s_entries;
  return ERROR_SUCCESS;
}

VOID WINAPI FakeFree(WINHTTP_PROXY_RESULT*) {}

BOOL WINAPI FakeClose(HINTERNET resolver) {
  s_resolver.closed = true;
  // As Windows cancels a call still under way, and says so.
  if (s_resolver.how == Resolving::kHangs) {
    Deliver(resolver, s_resolver.context, WINHTTP_CALLBACK_STATUS_REQUEST_ERROR,
            API_GET_PROXY_FOR_URL, ERROR_WINHTTP_OPERATION_CANCELLED);
  }
  return TRUE;
}

AutoProxyStep AskFake(Resolving how, unsigned long boundMs, const std::atomic<bool>& cancelled,
                      AutoProxyAnswer* answer) {
  s_resolver.how = how;
  s_resolver.closed = false;
  ResolverCalls calls;
  calls.create = FakeCreate;
  calls.ask = FakeAsk;
  calls.result = FakeResult;
  calls.free = FakeFree;
  calls.close = FakeClose;
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
  AutoProxyStep step;
  step.end = AutoProxyEnd::kStopped;
  EXPECT_TRUE(AskResolver(calls, L"http://vexlo.test/desktop.xml", &options, cancelled, boundMs,
                          &step, answer));
  if (s_resolver.late.joinable()) s_resolver.late.join();
  return step;
}

TEST(ProxyResolver, ASearchThatHangsIsGivenUpAfterItsBound) {
  ASSERT_TRUE(BindSystemLibrary(SystemLibrary::kWinHttp));
  // Only a safety net: a search with no bound of its own would wait for it.
  std::atomic<bool> cancelled{false};
  HANDLE over = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread net([&] {
    if (WaitForSingleObject(over, 30000) == WAIT_TIMEOUT) cancelled = true;
  });
  AutoProxyAnswer answer;
  const AutoProxyStep step = AskFake(Resolving::kHangs, 300, cancelled, &answer);
  SetEvent(over);
  net.join();
  CloseHandle(over);
  EXPECT_EQ(AutoProxyEnd::kHung, step.end);
  EXPECT_TRUE(s_resolver.closed);
  EXPECT_TRUE(answer.routes.empty());
}

TEST(ProxyResolver, OnlyItsOwnCallsCompletionCountsAndItsListIsKeptWhole) {
  ASSERT_TRUE(BindSystemLibrary(SystemLibrary::kWinHttp));
  std::atomic<bool> cancelled{false};
  AutoProxyAnswer answer;
  const AutoProxyStep step = AskFake(Resolving::kStrayErrorThenList, 30000, cancelled, &answer);
  EXPECT_EQ(AutoProxyEnd::kAnswered, step.end);
  ASSERT_EQ(3u, answer.routes.size());
  EXPECT_EQ(L"[::1]:8080", answer.routes[0].proxy);
  EXPECT_EQ(L"proxy.test:3128", answer.routes[1].proxy);
  EXPECT_TRUE(answer.routes[2].direct);
  EXPECT_EQ(1u, answer.unusable);  // the SOCKS proxy
}

}  // namespace
