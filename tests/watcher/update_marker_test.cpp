#include <string>

#include "tests/support/test_support.h"
#include "watcher/watcher.h"
#include "watcher/watcher_internal.h"

namespace {

class UpdateMarker : public FolderTest {
 protected:
  bool ClearedWith(const std::string& content) {
    WriteBytes(AppFile("update.ini"), content);
    return IsUpdateCleared();
  }
};

TEST_F(UpdateMarker, MissingFileIsNotCleared) { EXPECT_FALSE(IsUpdateCleared()); }

TEST_F(UpdateMarker, ZeroAsFirstWordIsStillPending) {
  EXPECT_FALSE(ClearedWith("0"));
  EXPECT_FALSE(ClearedWith("0\r\n"));
  EXPECT_FALSE(ClearedWith("  \t0  "));
  EXPECT_FALSE(ClearedWith("\n\n0 1"));
}

TEST_F(UpdateMarker, AnyOtherFirstWordIsCleared) {
  EXPECT_TRUE(ClearedWith("00"));
  EXPECT_TRUE(ClearedWith("1"));
  EXPECT_TRUE(ClearedWith("0x"));
  EXPECT_TRUE(ClearedWith(""));
  EXPECT_TRUE(ClearedWith(" \r\n "));
  EXPECT_TRUE(ClearedWith("[update]\n0"));
}

TEST_F(UpdateMarker, ByteOrderMarkIsPartOfTheWord) {
  EXPECT_TRUE(ClearedWith("\xEF\xBB\xBF" "0"));
}

TEST_F(UpdateMarker, LongLeadingWhitespaceIsSkipped) {
  EXPECT_FALSE(ClearedWith(std::string(100000, ' ') + "0"));
}

TEST(PendingMarker, LooksOnlyAtTheFirstWord) {
  EXPECT_TRUE(IsPendingMarker("0", 1));
  EXPECT_TRUE(IsPendingMarker(" 0\tx", 4));
  EXPECT_FALSE(IsPendingMarker("01", 2));
  EXPECT_FALSE(IsPendingMarker("", 0));
  EXPECT_FALSE(IsPendingMarker("   ", 3));
}

}  // namespace
