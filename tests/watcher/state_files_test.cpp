#include <windows.h>

#include <string>

#include "tests/support/test_support.h"
#include "watcher/watcher.h"

namespace {

using StateFiles = FolderTest;

TEST_F(StateFiles, StoresTheDocumentBytesAndTheZeroMarker) {
  const std::string document = "<v>\n<a>1.2</a>\r\n</v>\n";
  WriteStateFiles(document);
  EXPECT_EQ(document, ReadBytes(AppFile("version.xml")));
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
}

TEST_F(StateFiles, ReplacesLongerContentWholeAndLeavesNoTemporaryFile) {
  WriteBytes(AppFile("version.xml"), std::string(5000, 'o'));
  WriteBytes(AppFile("update.ini"), "1\r\nmore text");
  WriteStateFiles("<v><a>2</a></v>");
  EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
  EXPECT_FALSE(FileExists(AppFile("version.tmp")));
  EXPECT_FALSE(FileExists(AppFile("update.tmp")));
}

TEST_F(StateFiles, FileHeldWithoutDeleteSharingIsWrittenInPlace) {
  WriteBytes(AppFile("version.xml"), "<v><a>1</a></v>");
  // A reader that allows writing but not deleting blocks the rename only.
  HANDLE holder = CreateFileA(AppFile("version.xml").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  WriteStateFiles("<v><a>2</a></v>");
  CloseHandle(holder);
  EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
  EXPECT_FALSE(FileExists(AppFile("version.tmp")));
}

TEST_F(StateFiles, FileThatCannotBeWrittenIsSkippedAndTheOtherStillWritten) {
  WriteBytes(AppFile("version.xml"), "<v><a>1</a></v>");
  HANDLE holder = CreateFileA(AppFile("version.xml").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  WriteStateFiles("<v><a>2</a></v>");
  CloseHandle(holder);
  EXPECT_EQ("<v><a>1</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
}

}  // namespace
