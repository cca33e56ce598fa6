#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/xml_tree_depth.h"
#include "tinyxml.h"
#include "watcher/watcher.h"
#include "watcher/xml_nesting.h"

namespace {

std::string Repeat(const std::string& part, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += part;
  return text;
}

std::string Nested(int depth) { return Repeat("<a>", depth) + "1" + Repeat("</a>", depth); }

int ParsedDepth(const std::string& text) {
  TiXmlDocument document;
  document.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  return TreeDepth(&document);
}

TEST(XmlNesting, MeasuresWhatTheParserReachesWhereverItStops) {
  const std::vector<std::string> texts = {
      "",
      "no markup",
      "<v><a>1.0</a><b/><c x='1' y=\"2\"><d>t</d></c></v>",
      "<?xml version=\"1.0\"?><!-- <a><a> --><v><![CDATA[<a><a>]]><a>x</a></v>",
      "<v><a><b>never closed",
      "<v><a></b></a></v>",  // stops at the wrong end tag
      "<v x=\"</v>\"><a x='/>'><b/></a></v>",
      "<v><!DOCTYPE x <a>><a><?pi </a>?><b></b></a></v>",
      "\xEF\xBB\xBF<v><a>\xC3\xA9</a></v>",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><v><a>\xF0</a><b/></a></v>",
      "<?xml version='</v>'?><v><a></a></v>",
      Nested(40),
      Repeat("<a>", 40) + "unclosed",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(ParsedDepth(text), XmlNestingDepth(text.c_str(), 1000)) << text;
  }
}

TEST(XmlNesting, ClosingTagsInsideCommentsValuesAndDeclarationsDoNotCount) {
  // Each hides fifty end tags where the parser sees no end tag, between two
  // runs of two hundred open elements.
  const std::string ends = Repeat("</a>", 50);
  const std::string open = Repeat("<a>", 200);
  for (const std::string& hidden :
       {"<!--" + ends + "-->", "<![CDATA[" + ends + "]]>", "<b x=\"" + ends + "\"/>",
        "<?xml version=\"" + ends + "\"?>"}) {
    std::string text = open;
    text += hidden;
    text += open;
    EXPECT_EQ(kMaxXmlNesting + 1, XmlNestingDepth(text.c_str(), kMaxXmlNesting)) << hidden;
  }
}

TEST(XmlNesting, StopsCountingPastTheLimit) {
  EXPECT_EQ(kMaxXmlNesting, XmlNestingDepth(Nested(kMaxXmlNesting).c_str(), kMaxXmlNesting));
  EXPECT_EQ(kMaxXmlNesting + 1,
            XmlNestingDepth(Nested(kMaxXmlNesting + 1).c_str(), kMaxXmlNesting));
  EXPECT_EQ(kMaxXmlNesting + 1,
            XmlNestingDepth(Repeat("<a>", 100000).c_str(), kMaxXmlNesting));
}

using DeepDocuments = FolderTest;

// A hundred thousand levels would overflow the stack of the thread that
// parses, in TinyXML's reading or in its freeing; they are refused as
// malformed, before the parser sees them, and the files stay usable.
TEST_F(DeepDocuments, AreRefusedWhetherClosedOrNot) {
  WriteBytes(AppFile("version.xml"), "<v><a>1.0</a></v>");
  const std::string closed = "<v><a>2.0</a>" + Nested(100000) + "</v>";
  const std::string unclosed = "<v><a>2.0</a>" + Repeat("<a>", 100000);
  EXPECT_FALSE(IsUpdateAvailable(closed));
  EXPECT_FALSE(IsUpdateAvailable(unclosed));
  EXPECT_TRUE(IsUpdateAvailable("<v><a>2.0</a>" + Nested(kMaxXmlNesting - 1) + "</v>"));

  WriteBytes(AppFile("version.xml"), closed);
  EXPECT_FALSE(IsUpdateAvailable("<v><a>3.0</a></v>"));

  WriteBytes(AppFile("config.xml"), "<c><a>5</a><b>6</b>" + Nested(100000) + "</c>");
  std::int32_t check = 0;
  std::int32_t marker = 0;
  ReadWatcherSettings(&check, &marker);
  EXPECT_EQ(3600, check);
  EXPECT_EQ(10, marker);
}

}  // namespace
