#include "common/path_buffer.h"

#include <gtest/gtest.h>

#include <string>

TEST(PathBuffer, JoinFillsTheBufferToItsLastByte) {
  const std::string folder(250, 'a');
  PathBuffer out;
  ASSERT_TRUE(JoinPath(out, folder.c_str(), "123456789"));  // 259 bytes + terminator
  EXPECT_EQ(folder + "123456789", out);
}

TEST(PathBuffer, JoinRefusesWhatDoesNotFitAndLeavesItEmpty) {
  const std::string folder(250, 'a');
  PathBuffer out = "old";
  EXPECT_FALSE(JoinPath(out, folder.c_str(), "1234567890"));
  EXPECT_STREQ("", out);
}

TEST(PathBuffer, CopyRefusesA260ByteText) {
  PathBuffer out;
  EXPECT_TRUE(CopyPath(out, std::string(259, 'x').c_str()));
  EXPECT_FALSE(CopyPath(out, std::string(260, 'x').c_str()));
  EXPECT_STREQ("", out);
}
