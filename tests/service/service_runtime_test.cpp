#include <windows.h>

#include <string>
#include <thread>

#include "common/path_buffer.h"
#include "common/service_status.h"
#include "service/service.h"
#include "tests/support/test_support.h"
#include "watcher/watcher.h"

namespace {

class ControlHandler : public FolderTest {
 protected:
  void SetUp() override {
    FolderTest::SetUp();
    g_serviceStatus = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    g_runFlag = 1;
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Marvonel\\Vexlo");
  }
  void TearDown() override {
    g_runFlag = 0;
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Marvonel\\Vexlo");
    FolderTest::TearDown();
  }
};

TEST_F(ControlHandler, StopMovesToStopPendingAndClearsTheRunFlag) {
  ServiceCtrlHandler(SERVICE_CONTROL_STOP);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), g_serviceStatus.dwCurrentState);
  EXPECT_EQ(0, g_runFlag.load());
  EXPECT_EQ(0u, g_serviceStatus.dwWin32ExitCode);
}

TEST_F(ControlHandler, ShutdownStopsLikeStop) {
  ServiceCtrlHandler(SERVICE_CONTROL_SHUTDOWN);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), g_serviceStatus.dwCurrentState);
  EXPECT_EQ(0, g_runFlag.load());
}

TEST_F(ControlHandler, PauseContinueAndInterrogateChangeNothing) {
  const SERVICE_STATUS before = g_serviceStatus;
  for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                        SERVICE_CONTROL_INTERROGATE}) {
    ServiceCtrlHandler(control);
    EXPECT_EQ(0, memcmp(&before, &g_serviceStatus, sizeof before)) << control;
    EXPECT_EQ(1, g_runFlag.load()) << control;
  }
}

TEST_F(ControlHandler, UnknownCodesChangeNothing) {
  const SERVICE_STATUS before = g_serviceStatus;
  for (DWORD control : {0u, 6u, 129u, 255u}) {
    ServiceCtrlHandler(control);
    EXPECT_EQ(0, memcmp(&before, &g_serviceStatus, sizeof before)) << control;
    EXPECT_EQ(1, g_runFlag.load()) << control;
  }
}

TEST_F(ControlHandler, CheckNowIsTakenOnceInTenSecondsAndChangesNoState) {
  const SERVICE_STATUS before = g_serviceStatus;
  ServiceCtrlHandler(kCheckNowControl);
  EXPECT_TRUE(TakeAskedCheck());
  // Taken by the loop at once: the next nineteen are ignored all the same.
  for (int i = 0; i < 19; ++i) ServiceCtrlHandler(kCheckNowControl);
  EXPECT_FALSE(TakeAskedCheck());
  EXPECT_EQ(0, memcmp(&before, &g_serviceStatus, sizeof before));
  EXPECT_EQ(1, g_runFlag.load());
}

TEST_F(ControlHandler, CheckNowDuringAStopIsIgnored) {
  ServiceCtrlHandler(SERVICE_CONTROL_STOP);
  ServiceCtrlHandler(kCheckNowControl);
  EXPECT_FALSE(TakeAskedCheck());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), g_serviceStatus.dwCurrentState);
}

TEST_F(ControlHandler, StopBeforeTheWatcherStartsStillEndsTheService) {
  ASSERT_EQ(1, WriteSetting(app_.c_str(), "AppFolder"));
  ASSERT_EQ(1, WriteSetting(desktop_.c_str(), "DesktopPath"));
  WriteBytes(AppFile("config.xml"), "<c><a>0</a><b>0</b></c>");
  WriteBytes(AppFile("update.ini"), "1");
  // The stop arrives while the folders are still being read back.
  ServiceCtrlHandler(SERVICE_CONTROL_STOP);
  std::thread service(RunService);
  const bool ended = WaitFor([] { return g_serviceStatus.dwCurrentState == SERVICE_STOPPED; },
                             10000);
  if (!ended) StopWatcher();  // let the thread end rather than hang the run
  service.join();
  EXPECT_TRUE(ended);
  EXPECT_FALSE(FileExists(desktop_ + "\\Vexlo.lnk"));  // the watcher never made a pass
}

TEST_F(ControlHandler, FolderMissingFromTheRegistryStopsWithoutTheWatcher) {
  WriteBytes(AppFile("update.ini"), "1");
  RunService();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_serviceStatus.dwCurrentState);
  EXPECT_EQ(0u, g_serviceStatus.dwWin32ExitCode);
  EXPECT_EQ(1, g_workerStopped.load());
  EXPECT_FALSE(FileExists(desktop_ + "\\Vexlo.lnk"));
}

}  // namespace
