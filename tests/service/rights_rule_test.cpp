#include "service/rights_rule.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kSystem[] = "S-1-5-18";
const char kAdministrators[] = "S-1-5-32-544";
const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const char kUsers[] = "S-1-5-32-545";
const char kEveryone[] = "S-1-1-0";
const char kCreatorOwner[] = "S-1-3-0";
const char kPlayer[] = "S-1-5-21-1111-2222-3333-1001";
const char kOtherUser[] = "S-1-5-21-1111-2222-3333-1002";

const std::uint32_t kFull = 0x001f01ff;
const std::uint32_t kModify = 0x001301bf;
const std::uint32_t kReadExecute = 0x001200a9;
const std::uint8_t kInheritToAll = 0x03;  // OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE

const InstallingAccount kElevatedPlayer = {kPlayer, false};
const InstallingAccount kPlayerWithoutTwin = {kPlayer, true};

// C:\Program Files\Vexlo as an elevated installer leaves it.
ObjectRights ProgramFilesFolder() {
  return {kAdministrators,
          true,
          {{kTrustedInstaller, kFull, kInheritToAll},
           {kSystem, kFull, kInheritToAll},
           {kAdministrators, kFull, kInheritToAll},
           {kUsers, kReadExecute, kInheritToAll},
           {kCreatorOwner, 0x10000000, kInheritToAll | rights_bits::kInheritOnly}}};
}

// A folder the player made unelevated in the profile or under C:\.
ObjectRights PlayersOwnFolder() {
  return {kPlayer,
          true,
          {{kSystem, kFull, kInheritToAll},
           {kAdministrators, kFull, kInheritToAll},
           {kPlayer, kFull, kInheritToAll}}};
}

TEST(RightsRule, AdministratorsOwnedProgramFilesLayoutPasses) {
  const RightsFinding finding = JudgeRights(ProgramFilesFolder(), kElevatedPlayer, true, false);
  EXPECT_EQ(RightsReason::kOnlyTrusted, finding.reason) << finding.sid;
}

TEST(RightsRule, CreatorOwnerInheritOnlyEntryIsIgnored) {
  EXPECT_EQ(RightsReason::kOnlyTrusted,
            JudgeRights(ProgramFilesFolder(), kElevatedPlayer, false, true).reason);
}

TEST(RightsRule, FolderOwnedByTheSharedSidIsRefusedWhenTheUserDoesNotCount) {
  const RightsFinding finding = JudgeRights(PlayersOwnFolder(), kElevatedPlayer, false, false);
  EXPECT_EQ(RightsReason::kOwnedByOther, finding.reason);
  EXPECT_EQ(kPlayer, finding.sid);
}

TEST(RightsRule, FolderOnlyTheSharedSidMayChangeIsRefusedWhenTheUserDoesNotCount) {
  ObjectRights rights = ProgramFilesFolder();
  rights.allowed.push_back({kPlayer, kModify, kInheritToAll});
  const RightsFinding finding = JudgeRights(rights, kElevatedPlayer, false, false);
  EXPECT_EQ(RightsReason::kOtherMayDelete, finding.reason);
  EXPECT_EQ(kPlayer, finding.sid);
}

TEST(RightsRule, PlayersOwnFolderPassesWhereThePlayerHasNoUnelevatedTwin) {
  EXPECT_EQ(RightsReason::kOnlyTrusted,
            JudgeRights(PlayersOwnFolder(), kPlayerWithoutTwin, true, false).reason);
}

TEST(RightsRule, AnotherUsersFolderIsRefusedEvenWhenTheInstallerCounts) {
  ObjectRights rights = PlayersOwnFolder();
  rights.owner = kOtherUser;
  const RightsFinding finding = JudgeRights(rights, kPlayerWithoutTwin, false, false);
  EXPECT_EQ(RightsReason::kOwnedByOther, finding.reason);
  EXPECT_EQ(kOtherUser, finding.sid);
}

TEST(RightsRule, EveryoneDeleteChildIsRefused) {
  ObjectRights rights = ProgramFilesFolder();
  rights.allowed.push_back({kEveryone, rights_bits::kDeleteChild, 0});
  const RightsFinding finding = JudgeRights(rights, kElevatedPlayer, false, false);
  EXPECT_EQ(RightsReason::kOtherMayDelete, finding.reason);
  EXPECT_EQ(kEveryone, finding.sid);
}

TEST(RightsRule, UsersThatMayOnlyAddFilesMayWriteTheExeButNotSwapTheFolder) {
  ObjectRights rights = ProgramFilesFolder();
  rights.allowed.push_back({kUsers, rights_bits::kAddFile | rights_bits::kAddSubdirectory, 0});
  EXPECT_EQ(RightsReason::kOnlyTrusted, JudgeRights(rights, kElevatedPlayer, false, false).reason);
  const RightsFinding finding = JudgeRights(rights, kElevatedPlayer, true, false);
  EXPECT_EQ(RightsReason::kOtherMayWrite, finding.reason);
  EXPECT_EQ(kUsers, finding.sid);
}

TEST(RightsRule, InheritOnlyGrantCountsOnlyForWhatChildrenGet) {
  ObjectRights rights = ProgramFilesFolder();
  rights.allowed.push_back({kUsers, kModify, kInheritToAll | rights_bits::kInheritOnly});
  EXPECT_EQ(RightsReason::kOnlyTrusted, JudgeRights(rights, kElevatedPlayer, false, false).reason);
  EXPECT_EQ(RightsReason::kOtherMayDelete,
            JudgeRights(rights, kElevatedPlayer, false, true).reason);
}

TEST(RightsRule, NoOwnerOrNoAccessListIsRefused) {
  ObjectRights rights = ProgramFilesFolder();
  rights.hasAccessList = false;
  EXPECT_EQ(RightsReason::kNoAccessList, JudgeRights(rights, kElevatedPlayer, false, false).reason);
  rights.owner.clear();
  EXPECT_EQ(RightsReason::kNoOwner, JudgeRights(rights, kElevatedPlayer, false, false).reason);
}

TEST(RightsRule, TheServicesOwnSidMayChangeItsFolder) {
  ObjectRights rights = ProgramFilesFolder();
  rights.allowed.push_back(
      {"S-1-5-80-3938621841-3365918949-289634429-3408200342-712616243", kModify, kInheritToAll});
  EXPECT_EQ(RightsReason::kOnlyTrusted, JudgeRights(rights, kElevatedPlayer, true, false).reason);
}

// The system folder as Windows sets it up: TrustedInstaller's.
ObjectRights WindowsSystemFolder() {
  return {kTrustedInstaller,
          true,
          {{kTrustedInstaller, kFull, 0},
           {kSystem, kModify, 0},
           {kAdministrators, kModify, 0},
           {kUsers, kReadExecute, 0},
           {kCreatorOwner, 0x10000000, kInheritToAll | rights_bits::kInheritOnly}}};
}

TEST(RightsRule, ElevatedUserWithAnUnelevatedTwinDoesNotCount) {
  EXPECT_FALSE(InstallingUserCounts(kPlayer, false, WindowsSystemFolder()));
}

TEST(RightsRule, UserWithoutALinkedTokenCounts) {
  EXPECT_TRUE(InstallingUserCounts(kPlayer, true, WindowsSystemFolder()));
}

TEST(RightsRule, UserWhoMayAlreadyChangeTheSystemFolderCounts) {
  // As under Wine: the one user owns the whole drive.
  ObjectRights owned = WindowsSystemFolder();
  owned.owner = kPlayer;
  EXPECT_TRUE(InstallingUserCounts(kPlayer, false, owned));
  ObjectRights granted = WindowsSystemFolder();
  granted.allowed.push_back({kPlayer, kFull, 0});
  EXPECT_TRUE(InstallingUserCounts(kPlayer, false, granted));
}

TEST(RightsRule, SystemFolderThatCouldNotBeReadLeavesTheUserOut) {
  EXPECT_FALSE(InstallingUserCounts(kPlayer, false, ObjectRights()));
  EXPECT_FALSE(InstallingUserCounts("", false, ObjectRights()));
}

TEST(RightsRule, ReadOrInheritOnlyGrantsOnTheSystemFolderLeaveTheUserOut) {
  ObjectRights rights = WindowsSystemFolder();
  rights.allowed.push_back({kPlayer, kReadExecute, 0});
  rights.allowed.push_back({kPlayer, kFull, kInheritToAll | rights_bits::kInheritOnly});
  EXPECT_FALSE(InstallingUserCounts(kPlayer, false, rights));
}

}  // namespace
