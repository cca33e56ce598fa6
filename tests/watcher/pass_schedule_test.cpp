#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

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

// Pass numbers on which the loop checks, with checks asked for on the passes given.
std::vector<int> CheckingPasses(std::int32_t interval, int passCount, std::vector<int> asked) {
  std::int64_t counter = FirstCheckCounter(interval);
  std::vector<int> passes;
  for (int pass = 1; pass <= passCount; ++pass) {
    const bool ask = std::find(asked.begin(), asked.end(), pass) != asked.end();
    if (CheckOnThisPass(&counter, interval, ask)) passes.push_back(pass);
  }
  return passes;
}

TEST(PassSchedule, AskedChecksComeOnTheirPassAndLeaveTheScheduleAsItWas) {
  EXPECT_EQ((std::vector<int>{5, 10, 15, 20}), CheckingPasses(4, 20, {}));
  EXPECT_EQ((std::vector<int>{2, 5, 7, 10, 12, 15, 20}), CheckingPasses(4, 20, {2, 7, 12}));
  // Asked on a scheduled pass: one check for both.
  EXPECT_EQ((std::vector<int>{5, 10, 15, 20}), CheckingPasses(4, 20, {5, 10}));
  EXPECT_EQ((std::vector<int>{3, 5, 3606}), CheckingPasses(3600, 3606, {3}));
}

TEST(PassSchedule, PassesToNextCheckCountsToTheNextFiringPass) {
  for (std::int32_t interval : {INT_MIN, -20, 0, 1, 4, 3600}) {
    std::int64_t counter = FirstCheckCounter(interval);
    std::vector<int> firing = FiringPasses(counter, interval, 8000);
    for (int pass = 1; pass < 7000; ++pass) {
      const std::int64_t predicted = PassesToNextCheck(counter, interval);
      const int next = *std::upper_bound(firing.begin(), firing.end(), pass - 1);
      ASSERT_EQ(next - pass + 1, predicted) << interval << " before pass " << pass;
      AdvanceTimer(&counter, interval);
    }
  }
  std::int64_t counter = 0;  // just fired
  EXPECT_EQ(static_cast<std::int64_t>(INT_MAX) + 1, PassesToNextCheck(counter, INT_MAX));
}

TEST(AskedCheckGate, TheFirstRequestIsHonouredWhateverTheClock) {
  AskedCheckGate gate;
  EXPECT_TRUE(AdmitAskedCheck(&gate, 0));
  AskedCheckGate other;
  EXPECT_TRUE(AdmitAskedCheck(&other, 123456789));
}

TEST(AskedCheckGate, RequestsWithinTenSecondsOfAnHonouredOneAreIgnored) {
  AskedCheckGate gate;
  ASSERT_TRUE(AdmitAskedCheck(&gate, 5000));
  for (std::uint64_t at : {5000u, 5001u, 9000u, 14999u}) EXPECT_FALSE(AdmitAskedCheck(&gate, at));
  EXPECT_TRUE(AdmitAskedCheck(&gate, 15000));
  EXPECT_FALSE(AdmitAskedCheck(&gate, 15000));
}

TEST(AskedCheckGate, IgnoredRequestsDoNotHoldTheNextOneOff) {
  AskedCheckGate gate;
  ASSERT_TRUE(AdmitAskedCheck(&gate, 0));
  EXPECT_FALSE(AdmitAskedCheck(&gate, 9999));
  EXPECT_TRUE(AdmitAskedCheck(&gate, 10000));
}

TEST(AskedCheckGate, TwentyRequestsInTwoSecondsGiveOneCheck) {
  AskedCheckGate gate;
  int honoured = 0;
  for (std::uint64_t at = 100000; at < 102000; at += 100) honoured += AdmitAskedCheck(&gate, at);
  EXPECT_EQ(1, honoured);
  // A request a minute on, and one every second for a minute after it: one
  // in ten seconds.
  honoured = 0;
  for (std::uint64_t at = 160000; at < 220000; at += 1000) honoured += AdmitAskedCheck(&gate, at);
  EXPECT_EQ(6, honoured);
}

}  // namespace
