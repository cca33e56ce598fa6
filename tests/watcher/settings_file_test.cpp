#include <climits>
#include <string>

#include "common/path_buffer.h"
#include "tests/support/test_support.h"
#include "watcher/watcher.h"
#include "watcher/watcher_internal.h"

namespace {

class SettingsFile : public FolderTest {
 protected:
  void Read(const std::string& config) {
    WriteBytes(AppFile("config.xml"), config);
    ReadWatcherSettings(&check_, &marker_);
  }
  std::int32_t check_ = -1;
  std::int32_t marker_ = -1;
};

TEST_F(SettingsFile, MissingFileGivesTheDefaults) {
  ReadWatcherSettings(&check_, &marker_);
  EXPECT_EQ(3600, check_);
  EXPECT_EQ(10, marker_);
  EXPECT_EQ(savedBaseUrl_, g_baseUrl);
}

TEST_F(SettingsFile, TwoChildrenSetTheIntervalsAndKeepTheUrl) {
  Read("<config><check>60</check><marker>5</marker></config>");
  EXPECT_EQ(60, check_);
  EXPECT_EQ(5, marker_);
  EXPECT_EQ(savedBaseUrl_, g_baseUrl);
}

TEST_F(SettingsFile, ElementsAreTakenByPositionWhateverTheirNames) {
  Read(
      "<?xml version=\"1.0\"?><!-- settings --><x><b>120</b><zz a=\"1\">3</zz>"
      "<q>http://example.test/v.xml</q><extra>9</extra></x>");
  EXPECT_EQ(120, check_);
  EXPECT_EQ(3, marker_);
  EXPECT_STREQ("http://example.test/v.xml", g_baseUrl);
}

TEST_F(SettingsFile, AnElementWithoutTextKeepsItsSetting) {
  Read("<c><a></a><b>7</b><u><!-- none --></u></c>");
  EXPECT_EQ(3600, check_);
  EXPECT_EQ(7, marker_);
  EXPECT_EQ(savedBaseUrl_, g_baseUrl);
}

TEST_F(SettingsFile, FileSavedAsUtf16InEitherByteOrderIsRead) {
  for (const bool bigEndian : {false, true}) {
    CopyPath(g_baseUrl, savedBaseUrl_.c_str());
    WriteBytes(AppFile("config.xml"),
               Utf16File(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<c><a>120</a><b>3</b>"
                         u"<u>https://example.test/v.xml?a=1&amp;b=2</u></c>",
                         bigEndian));
    ReadWatcherSettings(&check_, &marker_);
    EXPECT_EQ(120, check_) << bigEndian;
    EXPECT_EQ(3, marker_) << bigEndian;
    EXPECT_STREQ("https://example.test/v.xml?a=1&b=2", g_baseUrl) << bigEndian;
  }
}

TEST_F(SettingsFile, NonNumericIntervalBecomesZero) {
  Read("<c><a>abc</a><b> -12x</b></c>");
  EXPECT_EQ(0, check_);
  EXPECT_EQ(-12, marker_);
}

TEST_F(SettingsFile, CommentsAndTextBetweenElementsChangeNothing) {
  Read("<c><!-- check --><a>30</a> stray text <!-- marker --><b>4</b></c>");
  EXPECT_EQ(30, check_);
  EXPECT_EQ(4, marker_);
}

TEST_F(SettingsFile, UrlAcrossLinesArrivesAsOneTrimmedLine) {
  Read("<c><a>1</a><b>2</b><u>\n   http://example.test/a\n   b.xml  \n</u></c>");
  EXPECT_STREQ("http://example.test/a b.xml", g_baseUrl);
}

TEST_F(SettingsFile, EntitiesAreDecodedAndCdataIsVerbatim) {
  Read("<c><a>1</a><b>2</b><u>http://h.test/v?a=1&amp;b=2</u></c>");
  EXPECT_STREQ("http://h.test/v?a=1&b=2", g_baseUrl);
  Read("<c><a>1</a><b>2</b><u><![CDATA[http://h.test/x?a=1&amp;]]></u></c>");
  EXPECT_STREQ("http://h.test/x?a=1&amp;", g_baseUrl);
}

TEST_F(SettingsFile, MalformedFileLeavesAllDefaults) {
  Read("text before <c><a>1</a><b>2</b></c>");
  EXPECT_EQ(3600, check_);
  EXPECT_EQ(10, marker_);
  Read("<c><a>1</a><b>2</b>");
  EXPECT_EQ(3600, check_);
  EXPECT_EQ(10, marker_);
  Read("");
  EXPECT_EQ(3600, check_);
}

// A UTF-8 lead byte at the very end made the parser read past its input.
TEST_F(SettingsFile, TruncatedUtf8SequenceAtTheEndIsNoSetting) {
  Read("<?xml version=\"1.0\"?><c><a>12</a><b>x\xF0");
  EXPECT_EQ(3600, check_);
  EXPECT_EQ(10, marker_);
  Read("\xEF\xBB\xBF<c><a>5</a><b>\xF4");
  EXPECT_EQ(3600, check_);
}

TEST_F(SettingsFile, LineEndsAreReadAsLoadFileReadsThem) {
  Read("<c>\r\n<a>5</a>\r<b>6</b><u><![CDATA[http://h.test/a\r\nb]]></u></c>");
  EXPECT_EQ(5, check_);
  EXPECT_EQ(6, marker_);
  EXPECT_STREQ("http://h.test/a\nb", g_baseUrl);
  Read(std::string("<c><a>7</a>\0<b>8</b></c>", 24));  // nothing after a zero byte counts
  EXPECT_EQ(3600, check_);
}

TEST_F(SettingsFile, UrlThatDoesNotFitIsRefusedAndThePreviousKept) {
  const std::string fits = "http://h.test/" + std::string(259 - 14, 'a');
  Read("<c><a>1</a><b>2</b><u>" + fits + "</u></c>");
  EXPECT_EQ(fits, g_baseUrl);
  Read("<c><a>1</a><b>2</b><u>" + fits + "b</u></c>");
  EXPECT_EQ(fits, g_baseUrl);
  EXPECT_EQ(1, check_);
}

TEST_F(SettingsFile, IntervalsBeyondTheIntegerRangeSaturate) {
  Read("<c><a>99999999999999999999</a><b>-99999999999999999999</b></c>");
  EXPECT_EQ(INT_MAX, check_);
  EXPECT_EQ(INT_MIN, marker_);
  Read("<c><a>2147483647</a><b>-2147483648</b></c>");
  EXPECT_EQ(INT_MAX, check_);
  EXPECT_EQ(INT_MIN, marker_);
}

// The sample holds the defaults; edited as a publisher would edit it, each of
// its settings must take effect, comments and all.
TEST_F(SettingsFile, ShippedSampleIsReadAsItDocuments) {
  std::string sample = ReadBytes(VEXLO_SAMPLE_CONFIG);
  const auto edit = [&sample](const std::string& from, const std::string& to) {
    const std::size_t at = sample.find(from);
    ASSERT_NE(std::string::npos, at) << from;
    sample.replace(at, from.size(), to);
  };
  edit(">3600<", ">77<");
  edit(">10<", ">8<");
  edit(VEXLO_DEFAULT_BASE_URL, "http://sample.test/v.xml?a=1&amp;b=2");
  Read(sample);
  EXPECT_EQ(77, check_);
  EXPECT_EQ(8, marker_);
  EXPECT_STREQ("http://sample.test/v.xml?a=1&b=2", g_baseUrl);
}

TEST(ParseInterval, ReadsLikeAtoi) {
  EXPECT_EQ(42, ParseInterval("  \t+42abc"));
  EXPECT_EQ(-7, ParseInterval("-7"));
  EXPECT_EQ(0, ParseInterval(""));
  EXPECT_EQ(0, ParseInterval("- 5"));
  EXPECT_EQ(0, ParseInterval("x1"));
  EXPECT_EQ(123, ParseInterval("000123"));
}

TEST(ParseInterval, SaturatesAtBothEnds) {
  EXPECT_EQ(INT_MAX, ParseInterval("2147483648"));
  EXPECT_EQ(INT_MIN, ParseInterval("-2147483649"));
  EXPECT_EQ(INT_MIN, ParseInterval("-2147483648"));
  EXPECT_EQ(INT_MAX, ParseInterval(std::string(5000, '9').c_str()));
}

TEST_F(SettingsFile, ReadingSaysWhetherTheFileWasUsedAndHowItsBytesRead) {
  std::int32_t check = 0;
  std::int32_t marker = 0;
  const char* encoding = nullptr;
  EXPECT_EQ(CheckOutcome::kSettingsMissing, LoadWatcherSettings(&check, &marker, &encoding));
  WriteBytes(AppFile("config.xml"), "<c><a>5</a>");
  EXPECT_EQ(CheckOutcome::kSettingsNotXml, LoadWatcherSettings(&check, &marker, &encoding));
  WriteBytes(AppFile("config.xml"), "<!-- nothing else -->");
  EXPECT_EQ(CheckOutcome::kSettingsNoRoot, LoadWatcherSettings(&check, &marker, &encoding));
  WriteBytes(AppFile("config.xml"), "\xEF\xBB\xBF<c><a>5</a></c>");
  EXPECT_EQ(CheckOutcome::kOk, LoadWatcherSettings(&check, &marker, &encoding));
  EXPECT_EQ(5, check);
  EXPECT_STREQ("UTF-8 with a byte-order mark", encoding);
}

}  // namespace
