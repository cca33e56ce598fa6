#include <string>

#include "common/path_buffer.h"
#include "common/utf16_text.h"
#include "tests/support/test_support.h"
#include "watcher/watcher.h"

namespace {

class VersionCheck : public FolderTest {
 protected:
  void Local(const std::string& version) {
    WriteBytes(AppFile("version.xml"), "<root><version>" + version + "</version></root>");
  }
  static std::string Remote(const std::string& version) {
    return "<?xml version=\"1.0\"?><doc><v>" + version + "</v><url>x</url></doc>";
  }
};

TEST_F(VersionCheck, NewerAndOlderRemoteVersionsBothCount) {
  Local("1.0.2");
  EXPECT_TRUE(IsUpdateAvailable(Remote("1.0.3")));
  Local("1.0.3");
  EXPECT_TRUE(IsUpdateAvailable(Remote("1.0.2")));
  EXPECT_FALSE(IsUpdateAvailable(Remote("1.0.3")));
}

TEST_F(VersionCheck, TrailingSpaceIsCondensedAway) {
  Local("1.0.3");
  EXPECT_FALSE(IsUpdateAvailable(Remote("1.0.3 ")));
  EXPECT_FALSE(IsUpdateAvailable(Remote("\n  1.0.3\n")));
}

TEST_F(VersionCheck, TextsAreComparedByteByByte) {
  Local("1.0.3");
  EXPECT_TRUE(IsUpdateAvailable(Remote("1.0.03")));
  Local("A1");
  EXPECT_TRUE(IsUpdateAvailable(Remote("a1")));
}

TEST_F(VersionCheck, LocalFileSavedWithAByteOrderMarkStillReads) {
  // What Notepad writes for the first version.xml a publisher ships.
  WriteBytes(AppFile("version.xml"),
             "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<root><version>1.0.3</version></root>\r\n");
  EXPECT_FALSE(IsUpdateAvailable(Remote("1.0.3")));
  EXPECT_TRUE(IsUpdateAvailable(Remote("1.0.4")));
}

// Notepad's "Unicode": read as the same text in the ANSI code page, so that a
// version with letters beyond ASCII equals the same version downloaded.
TEST_F(VersionCheck, LocalFileSavedAsUtf16InEitherByteOrderReads) {
  const std::string version = AnsiFromUtf16(u"2.0 caf\u00e9");
  for (const bool bigEndian : {false, true}) {
    WriteBytes(AppFile("version.xml"), Utf16File(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
                                                 u"<root><version>2.0 caf\u00e9</version></root>",
                                                 bigEndian));
    EXPECT_FALSE(IsUpdateAvailable("<d><v>" + version + "</v></d>")) << bigEndian;
    EXPECT_TRUE(IsUpdateAvailable(Remote("2.1"))) << bigEndian;
  }
  // Without the mark the bytes are not known to be UTF-16: no version is read.
  WriteBytes(AppFile("version.xml"), Utf16File(u"<r><v>2.0</v></r>", false).substr(2));
  EXPECT_FALSE(IsUpdateAvailable(Remote("2.1")));
}

TEST_F(VersionCheck, ElementNamesAreNeverChecked) {
  WriteBytes(AppFile("version.xml"), "<a><b>7</b></a>");
  EXPECT_TRUE(IsUpdateAvailable("<other><thing>8</thing></other>"));
  EXPECT_FALSE(IsUpdateAvailable("<other><thing>7</thing><b>8</b></other>"));
}

TEST_F(VersionCheck, CommentBeforeTheVersionElementIsSkipped) {
  Local("1");
  EXPECT_TRUE(IsUpdateAvailable("<d><!-- note --><v>2</v></d>"));
}

TEST_F(VersionCheck, VersionElementStartingWithAChildHasNoText) {
  Local("1");
  EXPECT_FALSE(IsUpdateAvailable("<d><v><b/>2</v></d>"));
  EXPECT_FALSE(IsUpdateAvailable("<d><v></v></d>"));
  EXPECT_FALSE(IsUpdateAvailable("<d/>"));
}

TEST_F(VersionCheck, UnusableLocalFileNeverReportsAnUpdate) {
  EXPECT_FALSE(IsUpdateAvailable(Remote("2")));  // no version.xml
  WriteBytes(AppFile("version.xml"), "<root><version></version></root>");
  EXPECT_FALSE(IsUpdateAvailable(Remote("2")));
  EXPECT_FALSE(IsUpdateAvailable("not xml at all"));
  WriteBytes(AppFile("version.xml"), "<root><version>1</version>");
  EXPECT_FALSE(IsUpdateAvailable(Remote("2")));
}

TEST_F(VersionCheck, MalformedRemoteDocumentGivesFalse) {
  Local("1");
  EXPECT_FALSE(IsUpdateAvailable("<d><v>2</v>"));
  EXPECT_FALSE(IsUpdateAvailable("<html><body>404</body></html"));
}

// A UTF-8 lead byte at the very end made the parser read past its input.
TEST_F(VersionCheck, TruncatedUtf8SequenceAtTheEndIsNoDocument) {
  Local("1");
  EXPECT_FALSE(IsUpdateAvailable("<?xml version=\"1.0\"?><d><v>2\xF0"));
  WriteBytes(AppFile("version.xml"), "<?xml version=\"1.0\"?><r><v>1\xF3");
  EXPECT_FALSE(IsUpdateAvailable("<d><v>2</v></d>"));
}

// The stored document is read as a file, whose line ends are normalised; the
// download must read the same, or a CR in CDATA reports one update forever.
TEST_F(VersionCheck, StoredDocumentEqualsItsDownloadWhateverItsLineEnds) {
  const std::string document = "<r><v><![CDATA[\r\r1.0\r\n]]></v></r>";
  WriteBytes(AppFile("version.xml"), document);
  EXPECT_FALSE(IsUpdateAvailable(document));
  EXPECT_TRUE(IsUpdateAvailable("<r><v><![CDATA[\n\n1.1\n]]></v></r>"));
}

TEST_F(VersionCheck, LongVersionTextsAreComparedWhole) {
  const std::string longVersion(1000, '7');
  Local(longVersion);
  // Equal long versions must not look different, or every check would
  // report the same update again.
  EXPECT_FALSE(IsUpdateAvailable(Remote(longVersion)));
  EXPECT_TRUE(IsUpdateAvailable(Remote(longVersion + "8")));
  EXPECT_TRUE(IsUpdateAvailable(Remote(std::string(31, '7'))));
}

TEST_F(VersionCheck, TheRuleSaysWhyItFindsNoUpdate) {
  const std::string path = AppFile("version.xml");
  std::string stored;
  std::string remote;
  EXPECT_EQ(CheckOutcome::kStoredMissing, CompareVersions(path.c_str(), Remote("2"), &stored,
                                                          &remote));
  WriteBytes(path, "<r><v>1</v>");
  EXPECT_EQ(CheckOutcome::kStoredNotXml, CompareVersions(path.c_str(), Remote("2"), nullptr,
                                                         nullptr));
  WriteBytes(path, "<r><v/></r>");
  EXPECT_EQ(CheckOutcome::kStoredNoVersion, CompareVersions(path.c_str(), Remote("2"), nullptr,
                                                            nullptr));
  Local("1");
  EXPECT_EQ(CheckOutcome::kNotXml, CompareVersions(path.c_str(), "<r><v>2", nullptr, nullptr));
  EXPECT_EQ(CheckOutcome::kNoVersion, CompareVersions(path.c_str(), "<r/>", nullptr, nullptr));
  EXPECT_EQ(CheckOutcome::kSameVersion, CompareVersions(path.c_str(), Remote("1"), &stored,
                                                        &remote));
  EXPECT_EQ(CheckOutcome::kOk, CompareVersions(path.c_str(), Remote("2"), &stored, &remote));
  EXPECT_EQ("1", stored);
  EXPECT_EQ("2", remote);
}

}  // namespace
