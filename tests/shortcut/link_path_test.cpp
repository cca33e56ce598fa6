#include <gtest/gtest.h>

#include <string>

#include "shortcut/link_path.h"

namespace {

TEST(LinkPath, ClientLinkLiesInTheDesktopFolder) {
  PathBuffer link;
  ASSERT_TRUE(FormLinkPath(link, "C:\\Users\\Public\\Desktop",
                           "C:\\Games\\Vexlo\\Service\\..\\Vexlo.exe"));
  EXPECT_STREQ("C:\\Users\\Public\\Desktop\\\\Vexlo.lnk", link);
}

TEST(LinkPath, LastThreeCharactersAreReplacedWhateverTheyAre) {
  PathBuffer link;
  ASSERT_TRUE(FormLinkPath(link, "D:\\Desk", "C:\\bin\\tool.sh"));
  EXPECT_STREQ("D:\\Desk\\\\toollnk", link);
}

TEST(LinkPath, TargetWithoutBackslashIsRefused) {
  PathBuffer link = "old";
  EXPECT_FALSE(FormLinkPath(link, "D:\\Desk", "Vexlo.exe"));
  EXPECT_STREQ("", link);
}

TEST(LinkPath, PathThatDoesNotFitIsRefused) {
  PathBuffer link;
  const std::string desktop(259 - 11, 'd');
  ASSERT_TRUE(FormLinkPath(link, desktop.c_str(), "C:\\x\\Vexlo.exe"));  // exactly 259
  EXPECT_FALSE(FormLinkPath(link, (desktop + "d").c_str(), "C:\\x\\Vexlo.exe"));
  EXPECT_STREQ("", link);
}

TEST(LinkPath, ResultTooShortToRenameIsRefused) {
  PathBuffer link;
  EXPECT_FALSE(FormLinkPath(link, "", "\\"));
  EXPECT_STREQ("", link);
  ASSERT_TRUE(FormLinkPath(link, "", "\\a"));
  EXPECT_STREQ("lnk", link);
}

}  // namespace
