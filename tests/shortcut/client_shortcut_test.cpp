#include <windows.h>

#include <string>

#include "common/path_buffer.h"
#include "shortcut/shortcut.h"
#include "tests/support/test_support.h"

namespace {

std::string FullPath(const std::string& path) {
  char full[MAX_PATH];
  GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return full;
}

class ClientShortcut : public FolderTest {
 protected:
  std::string LinkFile() const { return desktop_ + "\\Vexlo.lnk"; }
};

TEST_F(ClientShortcut, UpdateIconLinkStartsTheClient) {
  ASSERT_EQ(1, ShowUpdateIcon());
  const LinkContents link = ReadLink(LinkFile());
  ASSERT_TRUE(link.loaded);
  EXPECT_EQ(FullPath(app_ + "..\\Vexlo.exe"), link.target);
  EXPECT_EQ(app_ + "update.ico", link.icon);
  EXPECT_EQ(0, link.iconIndex);
  EXPECT_EQ(1u, link.showCommand);
  EXPECT_EQ("Vexlo\xBF\xCD\xBB\xA7\xB6\xCB\xBF\xEC\xBD\xDD\xB7\xBD\xCA\xBD", link.description);
}

TEST_F(ClientShortcut, NormalIconReplacesTheUpdateIcon) {
  ASSERT_EQ(1, ShowUpdateIcon());
  ASSERT_EQ(1, ShowNormalIcon());
  EXPECT_EQ(app_ + "normal.ico", ReadLink(LinkFile()).icon);
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((desktop_ + "\\*.lnk").c_str(), &entry);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  EXPECT_FALSE(FindNextFileA(find, &entry));
  FindClose(find);
}

TEST_F(ClientShortcut, TargetWithoutBackslashWritesNothing) {
  EXPECT_EQ(0, WriteClientShortcut("Vexlo.exe", (app_ + "normal.ico").c_str()));
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((desktop_ + "\\*").c_str(), &entry);
  int names = 0;
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (entry.cFileName[0] != '.') ++names;
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  EXPECT_EQ(0, names);
}

TEST_F(ClientShortcut, LinkNameReplacesTheLastThreeCharacters) {
  ASSERT_EQ(1, WriteClientShortcut((app_ + "tool.sh").c_str(), (app_ + "normal.ico").c_str()));
  EXPECT_TRUE(FileExists(desktop_ + "\\toollnk"));
}

TEST_F(ClientShortcut, UnwritableDesktopGivesZero) {
  ASSERT_TRUE(CopyPath(g_desktopFolder, (desktop_ + "\\missing\\folder").c_str()));
  EXPECT_EQ(0, ShowNormalIcon());
}

TEST_F(ClientShortcut, AppFolderTooLongForTheTargetWritesNothing) {
  // The folder fits a path buffer; the folder and "..\\Vexlo.exe" do not.
  ASSERT_TRUE(CopyPath(g_appFolder, (root_ + std::string(254 - root_.size(), 'a') + "\\").c_str()));
  EXPECT_EQ(0, ShowUpdateIcon());
  EXPECT_FALSE(FileExists(LinkFile()));
}

}  // namespace
