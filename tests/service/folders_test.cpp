#include <windows.h>

#include <string>

#include "common/path_buffer.h"
#include "service/service.h"
#include "tests/support/test_support.h"

namespace {

TEST(StripToFolder, CutsJustAfterTheLastBackslash) {
  ASSERT_TRUE(CopyPath(g_appFolder, "C:\\A\\B\\svc.exe"));
  EXPECT_EQ(1, StripToFolder());
  EXPECT_STREQ("C:\\A\\B\\", g_appFolder);
  EXPECT_EQ(1, StripToFolder());
  EXPECT_STREQ("C:\\A\\B\\", g_appFolder);
}

TEST(StripToFolder, PathWithoutBackslashStaysWhole) {
  ASSERT_TRUE(CopyPath(g_appFolder, "svc.exe"));
  EXPECT_EQ(1, StripToFolder());
  EXPECT_STREQ("svc.exe", g_appFolder);
  g_appFolder[0] = '\0';
  EXPECT_EQ(1, StripToFolder());
  EXPECT_STREQ("", g_appFolder);
}

TEST(DiscoverFolders, StoresThisExecutablesFolderAndTheCommonDesktop) {
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Marvonel\\Vexlo");
  ASSERT_EQ(1, DiscoverFolders());

  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string folder = exe;
  folder.erase(folder.rfind('\\') + 1);
  EXPECT_EQ(folder, g_appFolder);
  const std::string desktop = g_desktopFolder;
  ASSERT_FALSE(desktop.empty());
  EXPECT_NE('\\', desktop.back());
  EXPECT_EQ(0u, desktop.find("C:\\"));

  char buffer[260];
  ASSERT_EQ(1, ReadSetting("AppFolder", buffer));
  EXPECT_EQ(folder, buffer);
  ASSERT_EQ(1, ReadSetting("DesktopPath", buffer));
  EXPECT_EQ(desktop, buffer);
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Marvonel\\Vexlo");
}

TEST(EventMessage, LongMessageIsCutTo255Characters) {
  char message[256];
  const std::string text(1000, 'm');
  auto format = [&message](const char* f, ...) {
    va_list arguments;
    va_start(arguments, f);
    FormatEventMessage(message, f, arguments);
    va_end(arguments);
  };
  format("%s", text.c_str());
  EXPECT_EQ(std::string(255, 'm'), message);
  format("%s", text.substr(0, 255).c_str());
  EXPECT_EQ(std::string(255, 'm'), message);
  format("Service stopped");
  EXPECT_STREQ("Service stopped", message);
}

TEST(EventMessage, LoggingAnOverlongMessageReturnsNormally) {
  LogEvent("%s", std::string(5000, 'x').c_str());
  LogEvent("want to stopped Service");
  SUCCEED() << "an invalid-parameter abort would have ended the process";
}

}  // namespace
