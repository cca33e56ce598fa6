#include <windows.h>

#include <cstdio>
#include <string>

#include "common/file_replace.h"
#include "common/whole_file.h"
#include "tests/support/test_support.h"
#include "watcher/watcher.h"

namespace {

using StateFiles = FolderTest;

// A reader that allows writing but not deleting: no rename can replace the file.
HANDLE HoldWithoutDeleteSharing(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST_F(StateFiles, StoresTheDocumentBytesAndTheZeroMarker) {
  const std::string document = "<v>\n<a>1.2</a>\r\n</v>\n";
  EXPECT_EQ(StateWrite::kPending, WriteStateFiles(document));
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
  HANDLE holder = HoldWithoutDeleteSharing(AppFile("version.xml"));
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  WriteStateFiles("<v><a>2</a></v>");
  CloseHandle(holder);
  EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
  EXPECT_FALSE(FileExists(AppFile("version.tmp")));
}

// The service's and VexloCheck's own reads share deletion: a replacement
// while one of them reads is a rename, and the reader keeps the old file.
TEST_F(StateFiles, OwnReadersNeverTurnAReplacementIntoARewrite) {
  WriteBytes(AppFile("version.xml"), "<v><a>1</a></v>");
  std::FILE* reader = OpenSharedForReading(AppFile("version.xml").c_str(), false);
  ASSERT_NE(nullptr, reader);
  WriteStateFiles("<v><a>2</a></v>");
  char old[32] = {};
  const std::size_t read = std::fread(old, 1, sizeof old - 1, reader);
  std::fclose(reader);
  EXPECT_EQ("<v><a>1</a></v>", std::string(old, read));
  EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml")));
}

TEST_F(StateFiles, FileThatCannotBeWrittenIsSkippedAndTheOtherStillWritten) {
  WriteBytes(AppFile("version.xml"), "<v><a>1</a></v>");
  HANDLE holder = CreateFileA(AppFile("version.xml").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  EXPECT_EQ(StateWrite::kPending, WriteStateFiles("<v><a>2</a></v>"));
  CloseHandle(holder);
  EXPECT_EQ("<v><a>1</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
}

// The client's updater holds update.ini (write access, no sharing) just as an
// update arrives: without the "0" the new version.xml would hide the update
// from every later check, so the old one goes back.
TEST_F(StateFiles, MarkerThatCannotBeWrittenPutsTheOldVersionBack) {
  WriteBytes(AppFile("version.xml"), "<v><a>1</a></v>");
  WriteBytes(AppFile("update.ini"), "1");
  HANDLE holder = CreateFileA(AppFile("update.ini").c_str(), GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  EXPECT_FALSE(UpdateMarkerLooksWritable());
  EXPECT_EQ(StateWrite::kUnchanged, WriteStateFiles("<v><a>2</a></v>"));
  EXPECT_EQ("<v><a>1</a></v>", ReadBytes(AppFile("version.xml")));
  CloseHandle(holder);
  EXPECT_EQ("1", ReadBytes(AppFile("update.ini")));
  EXPECT_TRUE(UpdateMarkerLooksWritable());
  EXPECT_FALSE(FileExists(AppFile("version.tmp")));
  EXPECT_FALSE(FileExists(AppFile("update.tmp")));
}

// Nor can the old version.xml be put back when it could not even be read:
// the "0" is then owed, and lands once update.ini can be written.
TEST_F(StateFiles, MarkerIsOwedWhenTheOldVersionCannotGoBack) {
  WriteBytes(AppFile("version.xml"), "<v><a>1</a></v>");
  WriteBytes(AppFile("update.ini"), "1");
  HANDLE writer = CreateFileA(AppFile("version.xml").c_str(), GENERIC_WRITE, FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE holder = CreateFileA(AppFile("update.ini").c_str(), GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  EXPECT_EQ(StateWrite::kMarkerOwed, WriteStateFiles("<v><a>2</a></v>"));
  CloseHandle(writer);
  EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_FALSE(WriteUpdateMarker());
  CloseHandle(holder);
  EXPECT_TRUE(WriteUpdateMarker());
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
}

// Names in the folder taken over by someone else: nothing they lead to is
// ever written, and the update still lands where it safely can.
class PlantedNames : public FolderTest {
 protected:
  void SetUp() override {
    FolderTest::SetUp();
    outside_ = root_ + "outside.txt";
    WriteBytes(outside_, kOutside);
    WriteBytes(AppFile("version.xml"), "<v><a>1</a></v>");
    WriteBytes(AppFile("update.ini"), "1");
  }
  void LinkToOutside(const char* name) {
    DeleteFileA(AppFile(name).c_str());
    ASSERT_TRUE(CreateHardLinkA(AppFile(name).c_str(), outside_.c_str(), nullptr)) << name;
  }
  static constexpr const char* kOutside = "a file outside the service's folder";
  std::string outside_;
};

TEST_F(PlantedNames, HardLinksAtEveryNameAreReplacedNotWrittenThrough) {
  for (const char* name : {"version.tmp", "update.tmp", "version.xml", "update.ini"}) {
    LinkToOutside(name);
  }
  WriteStateFiles("<v><a>2</a></v>");
  EXPECT_EQ(kOutside, ReadBytes(outside_));
  EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
  EXPECT_FALSE(FileExists(AppFile("version.tmp")));
  EXPECT_FALSE(FileExists(AppFile("update.tmp")));
}

TEST_F(PlantedNames, HeldHardLinkIsSkippedRatherThanWrittenInPlace) {
  LinkToOutside("update.ini");
  // Held without delete sharing: no rename can replace the name, and writing
  // into it would write the file outside.
  HANDLE holder = HoldWithoutDeleteSharing(AppFile("update.ini"));
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  EXPECT_EQ(StateWrite::kUnchanged, WriteStateFiles("<v><a>2</a></v>"));
  CloseHandle(holder);
  EXPECT_EQ(kOutside, ReadBytes(outside_));
  EXPECT_EQ("<v><a>1</a></v>", ReadBytes(AppFile("version.xml")));  // put back
}

TEST_F(PlantedNames, FoldersAtTheNamesAreLeftAndTheRestLands) {
  ASSERT_TRUE(CreateDirectoryA(AppFile("version.tmp").c_str(), nullptr));
  // No temporary file can be made: the plain version.xml is rewritten in place.
  EXPECT_EQ(StateWrite::kPending, WriteStateFiles("<v><a>2</a></v>"));
  EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));

  // A folder where update.ini belongs takes no "0": version.xml goes back.
  DeleteFileA(AppFile("update.ini").c_str());
  ASSERT_TRUE(CreateDirectoryA(AppFile("update.ini").c_str(), nullptr));
  EXPECT_FALSE(UpdateMarkerLooksWritable());
  EXPECT_EQ(StateWrite::kUnchanged, WriteStateFiles("<v><a>3</a></v>"));
  EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY,
            GetFileAttributesA(AppFile("update.ini").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(FileExists(AppFile("update.tmp")));
}

TEST_F(PlantedNames, StaleTemporaryFileFromACrashIsReplaced) {
  WriteBytes(AppFile("version.tmp"), std::string(3000, 's'));
  WriteStateFiles("<v><a>2</a></v>");
  EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml")));
  EXPECT_FALSE(FileExists(AppFile("version.tmp")));
}

TEST_F(StateFiles, ReplacementKeepsTheFilesAttributesAndAccessRights) {
  WriteBytes(AppFile("update.ini"), "1");
  ASSERT_TRUE(SetFileAttributesA(AppFile("update.ini").c_str(),
                                 FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  // Full access for the system account, read and write for the users group:
  // what a deployer grants the client's updater.
  const std::string grant = "D:(A;;FA;;;SY)(A;;FRFW;;;BU)";
  ASSERT_TRUE(SetFileDacl(AppFile("update.ini"), grant));
  const std::string before = FileDacl(AppFile("update.ini"));
  WriteStateFiles("<v><a>2</a></v>");
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
  EXPECT_EQ(FILE_ATTRIBUTE_HIDDEN,
            GetFileAttributesA(AppFile("update.ini").c_str()) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(before, FileDacl(AppFile("update.ini")));
}

// The platform's replacement failing half way, each as its documentation
// says it leaves the files; optionally with the new file held open, so that
// finishing the move by rename fails too.
unsigned long s_injectedError = 0;
bool s_holdTemporaryFile = false;
HANDLE s_heldTemporaryFile = INVALID_HANDLE_VALUE;

bool FailHalfWay(const char* path, const char* tempPath, const char* backupPath,
                 unsigned long* error) {
  *error = s_injectedError;
  if (s_injectedError == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    MoveFileExA(path, backupPath, 0);  // the old file under the backup name
  } else if (s_injectedError == ERROR_UNABLE_TO_MOVE_REPLACEMENT) {
    DeleteFileA(path);  // as without a backup name: the old file is gone
  }
  if (s_holdTemporaryFile) {
    s_heldTemporaryFile = CreateFileA(tempPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return false;
}

class HalfWayReplace : public FolderTest {
 protected:
  void SetUp() override {
    FolderTest::SetUp();
    g_replaceStep = &FailHalfWay;
  }
  void TearDown() override {
    if (s_heldTemporaryFile != INVALID_HANDLE_VALUE) CloseHandle(s_heldTemporaryFile);
    s_heldTemporaryFile = INVALID_HANDLE_VALUE;
    s_holdTemporaryFile = false;
    g_replaceStep = saved_;
    FolderTest::TearDown();
  }
  ReplaceStep saved_ = g_replaceStep;
};

TEST_F(HalfWayReplace, EveryPartialFailureEndsWithTheNewBytesAndNoLeftovers) {
  for (const unsigned long error :
       {ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, ERROR_UNABLE_TO_MOVE_REPLACEMENT,
        ERROR_UNABLE_TO_REMOVE_REPLACED}) {
    s_injectedError = error;
    WriteBytes(AppFile("version.xml"), "<v><a>1</a></v>");
    WriteBytes(AppFile("update.ini"), "1");
    EXPECT_EQ(StateWrite::kPending, WriteStateFiles("<v><a>2</a></v>")) << error;
    EXPECT_EQ("<v><a>2</a></v>", ReadBytes(AppFile("version.xml"))) << error;
    EXPECT_EQ("0", ReadBytes(AppFile("update.ini"))) << error;
    for (const char* leftover : {"version.tmp", "version.old", "update.tmp", "update.old"}) {
      EXPECT_FALSE(FileExists(AppFile(leftover))) << error << " " << leftover;
    }
  }
}

TEST_F(HalfWayReplace, NewFileThatCannotBeMovedNeverCostsTheOldOne) {
  // The old file went to the backup name and the new one cannot be renamed
  // into place: the old one comes back, then the new bytes are written into it.
  s_injectedError = ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
  s_holdTemporaryFile = true;
  WriteBytes(AppFile("update.ini"), "1");
  EXPECT_TRUE(WriteUpdateMarker());
  EXPECT_EQ("0", ReadBytes(AppFile("update.ini")));
  EXPECT_FALSE(FileExists(AppFile("update.old")));
}

}  // namespace
