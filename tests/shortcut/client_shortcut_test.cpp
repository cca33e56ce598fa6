#include <windows.h>

#include <cstring>
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

const ULONGLONG kLongAgo = 116444736000000000ull;  // 1970, in FILETIME units

class ClientShortcut : public FolderTest {
 protected:
  std::string LinkFile() const { return desktop_ + "\\Vexlo.lnk"; }

  // Sets the file's last write far back, so that any write since shows.
  void Backdate() const {
    HANDLE file = CreateFileA(LinkFile().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    FILETIME time = {static_cast<DWORD>(kLongAgo), static_cast<DWORD>(kLongAgo >> 32)};
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
  }

  bool Backdated() const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(LinkFile().c_str(), GetFileExInfoStandard, &data)) return false;
    return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32 |
            data.ftLastWriteTime.dwLowDateTime) == kLongAgo;
  }
};

// Every occurrence of from, in single bytes and in UTF-16, replaced by to.
std::string ReplaceAll(std::string bytes, const std::string& from, const std::string& to) {
  for (int wide = 0; wide < 2; ++wide) {
    std::string a;
    std::string b;
    for (std::size_t i = 0; i < from.size(); ++i) {
      a += from[i];
      b += to[i];
      if (wide) {
        a += '\0';
        b += '\0';
      }
    }
    for (std::size_t at = bytes.find(a); at != std::string::npos; at = bytes.find(a, at + 1)) {
      bytes.replace(at, a.size(), b);
    }
  }
  return bytes;
}

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

TEST_F(ClientShortcut, ShortcutAsItWouldBeWrittenIsLeftAlone) {
  ASSERT_EQ(1, ShowNormalIcon());
  Backdate();
  for (int poll = 0; poll < 3; ++poll) EXPECT_EQ(1, ShowNormalIcon());
  EXPECT_TRUE(Backdated());
  // The other icon is a change.
  EXPECT_EQ(1, ShowUpdateIcon());
  EXPECT_FALSE(Backdated());
  EXPECT_EQ(app_ + "update.ico", ReadLink(LinkFile()).icon);
  Backdate();
  EXPECT_EQ(1, ShowUpdateIcon());
  EXPECT_TRUE(Backdated());
}

// An installer may register the folder by its short (8.3) name; the shell
// keeps the paths in long form. The shortcut is the same all the same.
TEST_F(ClientShortcut, FolderGivenByItsShortNameLeavesTheShortcutAlone) {
  const std::string folder = root_ + "Long Service Folder\\";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  for (const std::string& file : {folder + "normal.ico", root_ + "Vexlo.exe"}) {
    HANDLE made = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, made);
    CloseHandle(made);
  }
  char shortFolder[MAX_PATH];
  const DWORD length = GetShortPathNameA(folder.c_str(), shortFolder, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  ASSERT_NE(nullptr, std::strchr(shortFolder, '~')) << shortFolder;

  ASSERT_TRUE(CopyPath(g_appFolder, folder.c_str()));
  ASSERT_EQ(1, ShowNormalIcon());
  Backdate();
  ASSERT_TRUE(CopyPath(g_appFolder, shortFolder));
  for (int poll = 0; poll < 3; ++poll) EXPECT_EQ(1, ShowNormalIcon());
  EXPECT_TRUE(Backdated());
}

TEST_F(ClientShortcut, ShortcutDeletedChangedOrCutShortIsWrittenAgain) {
  struct Change {
    const char* what;
    std::string (*apply)(std::string bytes);
  };
  const Change changes[] = {
      {"deleted", [](std::string) { return std::string(); }},
      {"cut in half", [](std::string bytes) { return bytes.substr(0, bytes.size() / 2); }},
      {"cut by its last block",
       [](std::string bytes) { return bytes.substr(0, bytes.size() - 4); }},
      {"another show command", [](std::string bytes) { return bytes.replace(0x3C, 1, "\x03"); }},
      {"another icon index", [](std::string bytes) { return bytes.replace(0x38, 1, "\x01"); }},
      {"another target",
       [](std::string bytes) { return ReplaceAll(bytes, "Vexlo.exe", "Vexlp.exe"); }},
      {"another icon",
       [](std::string bytes) { return ReplaceAll(bytes, "normal.ico", "normal.icp"); }},
      {"another description",
       [](std::string bytes) { return ReplaceAll(bytes, "Vexlo\xBF", "Wexlo\xBF"); }},
  };
  ASSERT_EQ(1, ShowNormalIcon());
  const std::string written = ReadBytes(LinkFile());
  for (const Change& change : changes) {
    const std::string changed = change.apply(written);
    if (changed.empty()) {
      ASSERT_TRUE(DeleteFileA(LinkFile().c_str()));
    } else {
      ASSERT_NE(written, changed) << change.what;
      WriteBytes(LinkFile(), changed);
      Backdate();
    }
    EXPECT_EQ(1, ShowNormalIcon()) << change.what;
    EXPECT_FALSE(Backdated()) << change.what;
    const LinkContents link = ReadLink(LinkFile());
    EXPECT_EQ(app_ + "normal.ico", link.icon) << change.what;
    EXPECT_EQ(0, link.iconIndex) << change.what;
    EXPECT_EQ(1u, link.showCommand) << change.what;
    EXPECT_EQ(FullPath(app_ + "..\\Vexlo.exe"), link.target) << change.what;
  }
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
