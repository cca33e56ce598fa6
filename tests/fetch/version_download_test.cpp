#include <windows.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "common/path_buffer.h"
#include "fetch/fetch.h"
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

TEST_F(VersionDownload, ErrorStatusBodyIsReturnedLikeADocument) {
  Use(ServerUrl("/status404"));
  EXPECT_EQ("<html><body><h1>Not Found</h1></body></html>", FetchVersionDocument());
}

TEST_F(VersionDownload, EmptyBodyGivesEmptyText) {
  Use(ServerUrl("/empty"));
  EXPECT_EQ("", FetchVersionDocument());
}

TEST_F(VersionDownload, TextEndsAtTheFirstNul) {
  Use(ServerUrl("/nul"));
  EXPECT_EQ("ab", FetchVersionDocument());
}

// Under Wine a refused connection only ends at the deadline, so these use a
// short one.
const unsigned long kShortDeadlineMs = 2000;

TEST_F(VersionDownload, RefusedConnectionGivesEmptyTextAndKeepsTheUrl) {
  Use("http://127.0.0.1:1/flash/config/desktop.xml");
  EXPECT_EQ("", FetchVersionDocumentWithin(kShortDeadlineMs));
  EXPECT_STREQ("http://127.0.0.1:1/flash/config/desktop.xml", g_baseUrl);
}

TEST_F(VersionDownload, SilentServerEndsAtTheDeadline) {
  Use(ServerUrl("/hang"));
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ("", FetchVersionDocumentWithin(kShortDeadlineMs));
  EXPECT_GE(GetTickCount64() - start, kShortDeadlineMs - 100);
}

TEST_F(VersionDownload, ResetInTheMiddleOfTheBodyGivesNoDocument) {
  Use(ServerUrl("/reset"));
  const std::string text = FetchVersionDocumentWithin(kShortDeadlineMs);
  EXPECT_NE(100000u, text.size());
  EXPECT_TRUE(text.empty() || text == std::string(100, 'x')) << text.size();
}

TEST_F(VersionDownload, UrlThatDoesNotFitMakesNoRequest) {
  const std::string name = UniqueName("long");
  std::string base = ServerUrl("/doc/") + name;
  base += std::string(250 - base.size(), 'x');  // "?time=" and the digits pass 259
  Use(base);
  EXPECT_EQ("", FetchVersionDocument());
  EXPECT_EQ("", LoggedRequests(name));
}

}  // namespace
