#include <climits>
#include <vector>

#include <gtest/gtest.h>

#include "watcher/watcher_internal.h"

namespace {

// Pass numbers (from 1) on which a timer fires within the first passCount passes.
std::vector<int> FiringPasses(std::int64_t counter, std::int32_t interval, int passCount) {
  std::vector<int> passes;
  for (int pass = 1; pass <= passCount; ++pass) {
    if (AdvanceTimer(&counter, interval)) passes.push_back(pass);
  }
  return passes;
}

std::vector<int> CheckPasses(std::int32_t interval, int passCount) {
  return FiringPasses(FirstCheckCounter(interval), interval, passCount);
}

TEST(PassSchedule, DefaultCheckFiresOnPassFiveThenEvery3601Passes) {
  EXPECT_EQ((std::vector<int>{5, 3606, 7207}), CheckPasses(3600, 8000));
}

TEST(PassSchedule, CheckIntervalZeroOrBelowFiresEveryPassFromFive) {
  EXPECT_EQ((std::vector<int>{5, 6, 7, 8}), CheckPasses(0, 8));
  EXPECT_EQ((std::vector<int>{5, 6, 7, 8}), CheckPasses(-20, 8));
  EXPECT_EQ((std::vector<int>{5, 6, 7, 8}), CheckPasses(INT_MIN, 8));
  EXPECT_EQ((std::vector<int>{5, 6, 7, 8}), CheckPasses(INT_MIN + 3, 8));
}

TEST(PassSchedule, CheckIntervalOneFiresEveryOtherPass) {
  EXPECT_EQ((std::vector<int>{5, 7, 9, 11}), CheckPasses(1, 12));
}

TEST(PassSchedule, MarkerFiresAtOnceThenEveryIntervalPlusOne) {
  EXPECT_EQ((std::vector<int>{1, 12, 23}), FiringPasses(10, 10, 30));
  EXPECT_EQ((std::vector<int>{1, 2, 3}), FiringPasses(0, 0, 3));
  EXPECT_EQ((std::vector<int>{1, 2, 3}), FiringPasses(INT_MIN, INT_MIN, 3));
}

TEST(PassSchedule, LargestIntervalNeitherWrapsNorFiresEarly) {
  std::int64_t counter = FirstCheckCounter(INT_MAX);
  EXPECT_EQ((std::vector<int>{5}), FiringPasses(counter, INT_MAX, 10));
  counter = INT_MAX - 1;
  EXPECT_FALSE(AdvanceTimer(&counter, INT_MAX));
  EXPECT_EQ(INT_MAX, counter);
  EXPECT_TRUE(AdvanceTimer(&counter, INT_MAX));
  EXPECT_EQ(0, counter);
  EXPECT_FALSE(AdvanceTimer(&counter, INT_MAX));
}

}  // namespace
