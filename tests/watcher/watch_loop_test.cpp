#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>

#include "common/path_buffer.h"
#include "tests/support/test_support.h"
#include "watcher/watcher.h"

namespace {

// A stop waits for the current pass and its one-second sleep, and StopWatcher
// looks once a second: about two seconds. A download that ignored the stop
// would hold it for its one-minute deadline; the bound tells the two apart
// with room for a slow machine.
const int kStopBoundMs = 20000;
const int kWorkBoundMs = 30000;

class WatchLoop : public FolderTest {
 protected:
  void Configure(const std::string& url) {
    // Both timers on every pass, so that the first check comes on pass five.
    WriteBytes(AppFile("config.xml"), "<config><c>0</c><m>0</m><u>" + url + "</u></config>");
  }
  void Start() {
    g_runFlag = 1;
    worker_ = std::thread(RunWatcher, desktop_.c_str(), app_.c_str());
  }
  // Stops the loop and returns how long StopWatcher took.
  ULONGLONG Stop() {
    const ULONGLONG start = GetTickCount64();
    StopWatcher();
    const ULONGLONG took = GetTickCount64() - start;
    worker_.join();
    return took;
  }
  void TearDown() override {
    if (worker_.joinable()) Stop();
    FolderTest::TearDown();
  }
  std::string LinkIcon() { return ReadLink(desktop_ + "\\Vexlo.lnk").icon; }
  std::thread worker_;
};

TEST_F(WatchLoop, ChangedVersionShowsUpdateThenClearedMarkerShowsNormal) {
  const std::string name = UniqueName("loop");
  const std::string document = "<v><a>1.1</a><notes>new</notes></v>";
  ServeDocument(name, document);
  WriteBytes(AppFile("version.xml"), "<v><a>1.0</a></v>");
  Configure(ServerUrl("/doc/" + name));
  Start();

  ASSERT_TRUE(WaitFor([&] { return ReadBytes(AppFile("update.ini")) == "0"; }, kWorkBoundMs));
  EXPECT_EQ(document, ReadBytes(AppFile("version.xml")));
  EXPECT_EQ(app_ + "update.ico", LinkIcon());
  EXPECT_EQ(0, g_workerStopped.load());

  // The client's updater clears the marker.
  WriteBytes(AppFile("update.ini"), "1");
  EXPECT_TRUE(WaitFor([&] { return LinkIcon() == app_ + "normal.ico"; }, kWorkBoundMs));
  EXPECT_EQ(document, ReadBytes(AppFile("version.xml")));

  EXPECT_LT(Stop(), static_cast<ULONGLONG>(kStopBoundMs));
  EXPECT_EQ(1, g_workerStopped.load());
  EXPECT_EQ(0, g_runFlag.load());
}

// The client's updater holds update.ini (no sharing) when the update comes:
// no half-stored update, the update icon stays, and the "0" (with the new
// version.xml) lands at the first marker poll after the file is let go.
TEST_F(WatchLoop, UpdateFoundWhileTheMarkerIsHeldLandsOnceItIsLetGo) {
  const std::string name = UniqueName("held");
  const std::string document = "<v><a>1.1</a></v>";
  ServeDocument(name, document);
  WriteBytes(AppFile("version.xml"), "<v><a>1.0</a></v>");
  WriteBytes(AppFile("update.ini"), "1");
  HANDLE holder = CreateFileA(AppFile("update.ini").c_str(), GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  Configure(ServerUrl("/doc/" + name));
  Start();
  ASSERT_TRUE(WaitFor([&] { return LinkIcon() == app_ + "update.ico"; }, kWorkBoundMs));
  // Further checks and polls while it is held: still no half-stored update,
  // and no normal icon although update.ini says "1".
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string logged = LoggedRequests("/doc/" + name + "?");
        return std::count(logged.begin(), logged.end(), '\n') >= 3;
      },
      kWorkBoundMs));
  EXPECT_EQ("<v><a>1.0</a></v>", ReadBytes(AppFile("version.xml")));
  // Each check rewrites the shortcut meanwhile: a read may meet a half-written
  // file, never the normal icon.
  EXPECT_NE(app_ + "normal.ico", LinkIcon());
  EXPECT_TRUE(WaitFor([&] { return LinkIcon() == app_ + "update.ico"; }, kWorkBoundMs));
  CloseHandle(holder);
  EXPECT_TRUE(WaitFor([&] { return ReadBytes(AppFile("update.ini")) == "0"; }, kWorkBoundMs));
  EXPECT_EQ(document, ReadBytes(AppFile("version.xml")));
  EXPECT_EQ(app_ + "update.ico", LinkIcon());
}

TEST_F(WatchLoop, SameVersionChangesNothing) {
  const std::string name = UniqueName("same");
  ServeDocument(name, "<v><a>1.0</a><extra>differs</extra></v>");
  WriteBytes(AppFile("version.xml"), "<v><a>1.0</a></v>");
  Configure(ServerUrl("/doc/" + name));
  Start();
  // Wait for two downloads, so that at least one check completed.
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string logged = LoggedRequests("/doc/" + name + "?");
        return std::count(logged.begin(), logged.end(), '\n') >= 2;
      },
      kWorkBoundMs));
  Stop();
  EXPECT_EQ("<v><a>1.0</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_FALSE(FileExists(AppFile("update.ini")));
  EXPECT_FALSE(FileExists(desktop_ + "\\Vexlo.lnk"));
}

TEST_F(WatchLoop, StopDuringAHangingDownloadCompletesPromptly) {
  Configure(ServerUrl("/hang"));
  WriteBytes(AppFile("version.xml"), "<v><a>1.0</a></v>");
  const std::size_t before = LoggedRequests("/hang?").size();
  Start();
  ASSERT_TRUE(WaitFor([&] { return LoggedRequests("/hang?").size() > before; }, kWorkBoundMs));
  EXPECT_LT(Stop(), static_cast<ULONGLONG>(kStopBoundMs));
  EXPECT_EQ(1, g_workerStopped.load());
}

TEST_F(WatchLoop, ClearedRunFlagStillReadsSettingsButMakesNoPass) {
  WriteBytes(AppFile("config.xml"), "<c><a>0</a><b>0</b><u>http://127.0.0.1:1/x</u></c>");
  WriteBytes(AppFile("update.ini"), "1");
  g_runFlag = 0;
  RunWatcher(desktop_.c_str(), app_.c_str());
  EXPECT_STREQ("http://127.0.0.1:1/x", g_baseUrl);
  EXPECT_EQ(1, g_workerStopped.load());
  EXPECT_FALSE(FileExists(desktop_ + "\\Vexlo.lnk"));  // no marker poll ran
}

TEST(StopWatcherAlone, ReturnsAtOnceWhenNoLoopEverRan) {
  g_runFlag = 1;
  const ULONGLONG start = GetTickCount64();
  StopWatcher();
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_EQ(0, g_runFlag.load());
}

}  // namespace
