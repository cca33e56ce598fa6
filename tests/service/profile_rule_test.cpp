#include "service/profile_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ProfileRule, PathBelowAProfileLiesInIt) {
  EXPECT_TRUE(
      LiesIn(u"C:\\USERS\\ANN\\GAMES\\VEXLO\\SERVICE\\VEXLOSERVICE.EXE", u"C:\\USERS\\ANN"));
  EXPECT_TRUE(LiesIn(u"C:\\USERS\\ANN", u"C:\\USERS\\ANN"));
  EXPECT_TRUE(LiesIn(u"C:\\USERS\\ANN\\X", u"C:\\USERS\\ANN\\"));
}

TEST(ProfileRule, OnlyWholeNamesMatch) {
  EXPECT_FALSE(LiesIn(u"C:\\USERS\\ANNA\\VEXLOSERVICE.EXE", u"C:\\USERS\\ANN"));
  EXPECT_FALSE(LiesIn(u"C:\\USERSX\\VEXLOSERVICE.EXE", u"C:\\USERS"));
  EXPECT_FALSE(LiesIn(u"C:\\USERS", u"C:\\USERS\\ANN"));
}

TEST(ProfileRule, EmptyFolderHoldsNothing) {
  EXPECT_FALSE(LiesIn(u"C:\\PROGRAM FILES\\VEXLO\\VEXLOSERVICE.EXE", u""));
  EXPECT_FALSE(LiesIn(u"C:\\PROGRAM FILES\\VEXLO\\VEXLOSERVICE.EXE", u"\\"));
  EXPECT_FALSE(LiesIn(u"\\\\SERVER\\SHARE\\VEXLOSERVICE.EXE", u""));
}

TEST(ProfileRule, TheUsersOwnProfileIsNamedBeforeTheFolderOfAllProfiles) {
  const std::vector<std::u16string> folders = {u"C:\\USERS", u"C:\\USERS\\PUBLIC",
                                               u"C:\\USERS\\ANN", u"D:\\PROFILES\\BOB"};
  EXPECT_EQ(2u, ClosestHolder(u"C:\\USERS\\ANN\\GAMES\\VEXLO\\SERVICE\\VEXLOSERVICE.EXE", folders));
  EXPECT_EQ(0u, ClosestHolder(u"C:\\USERS\\SHARED\\VEXLOSERVICE.EXE", folders));
  EXPECT_EQ(3u, ClosestHolder(u"D:\\PROFILES\\BOB\\VEXLOSERVICE.EXE", folders));
}

TEST(ProfileRule, ProgramFilesLiesInNoProfile) {
  const std::vector<std::u16string> folders = {u"C:\\USERS", u"C:\\USERS\\ANN"};
  EXPECT_EQ(std::u16string::npos,
            ClosestHolder(u"C:\\PROGRAM FILES\\VEXLO\\SERVICE\\VEXLOSERVICE.EXE", folders));
  EXPECT_EQ(std::u16string::npos, ClosestHolder(u"C:\\USERS.OLD\\X.EXE", folders));
}

TEST(ProfileRule, TheSystemsOwnAccountsAreNoUsers) {
  EXPECT_TRUE(IsSystemAccountProfile(u"S-1-5-18"));
  EXPECT_TRUE(IsSystemAccountProfile(u"S-1-5-19"));
  EXPECT_TRUE(IsSystemAccountProfile(u"S-1-5-20"));
  EXPECT_FALSE(IsSystemAccountProfile(u"S-1-5-21-1111-2222-3333-1001"));
  EXPECT_FALSE(IsSystemAccountProfile(u"S-1-5-180"));
}

}  // namespace
