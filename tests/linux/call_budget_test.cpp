// How many calls each caller may have waiting for their answers, apart from GDBus.
#include <gtest/gtest.h>

#include "platform/linux/tray/CallBudget.h"

using platform::linux_backend::CallBudget;

namespace {

TEST(CallBudget, ACallerPastItsLimitIsDroppedUntilAnAnswerGoesOutAndOthersAreNotTouched) {
  CallBudget budget;
  for (int i = 0; i < CallBudget::kPerCaller; ++i) {
    ASSERT_TRUE(budget.admit(":1.7", 1.0)) << i;
  }
  EXPECT_FALSE(budget.admit(":1.7", 1.0));
  EXPECT_FALSE(budget.admit(":1.7", 2.0));
  EXPECT_EQ(budget.waiting(":1.7"), CallBudget::kPerCaller);
  // A host beside the flood is answered as ever.
  EXPECT_TRUE(budget.admit(":1.3", 2.0));
  // Each answer that goes out lets one more call in.
  budget.answered(":1.7", 2.5);
  EXPECT_TRUE(budget.admit(":1.7", 2.5));
  EXPECT_FALSE(budget.admit(":1.7", 2.5));
}

TEST(CallBudget, CallersWhoseCallsAreAllAnsweredLeaveNothingBehind) {
  CallBudget budget;
  // Many short-lived callers, each with a few calls: a table that kept them would grow for good.
  for (int caller = 0; caller < 1000; ++caller) {
    const std::string name = ":1." + std::to_string(caller);
    ASSERT_TRUE(budget.admit(name, caller));
    ASSERT_TRUE(budget.admit(name, caller));
    budget.answered(name, caller);
    budget.answered(name, caller);
  }
  EXPECT_EQ(budget.callers(), 0u);
  // An answer to a call that was never counted (sent before the limit was in place) takes
  // nothing from anybody.
  ASSERT_TRUE(budget.admit(":1.5", 0.0));
  budget.answered(":1.9", 0.0);
  budget.answered(":1.5", 0.0);
  budget.answered(":1.5", 0.0);
  EXPECT_EQ(budget.waiting(":1.5"), 0);
  for (int i = 0; i < CallBudget::kPerCaller; ++i) ASSERT_TRUE(budget.admit(":1.5", 0.0));
  EXPECT_FALSE(budget.admit(":1.5", 0.0));
}

TEST(CallBudget, ACallerWhoseAnswersStopMovingIsForgivenAfterAWhileNotAtOnce) {
  CallBudget budget;
  for (int i = 0; i < CallBudget::kPerCaller; ++i) budget.admit(":1.7", 10.0);
  budget.answered(":1.7", 20.0);  // the answers last moved at 20
  budget.admit(":1.7", 20.0);
  EXPECT_FALSE(budget.admit(":1.7", 20.0 + CallBudget::kStaleSeconds - 1.0));
  // Answers were lost somewhere: the caller must not be shut out for good.
  EXPECT_TRUE(budget.admit(":1.7", 20.0 + CallBudget::kStaleSeconds));
  EXPECT_EQ(budget.waiting(":1.7"), 1);
}

TEST(CallBudget, AllCallersTogetherHaveALimitSoManyConnectionsCannotAddUpToAFlood) {
  CallBudget budget;
  const int full = CallBudget::kAll / CallBudget::kPerCaller;
  for (int caller = 0; caller < full; ++caller) {
    for (int i = 0; i < CallBudget::kPerCaller; ++i) {
      ASSERT_TRUE(budget.admit(":2." + std::to_string(caller), 0.0));
    }
  }
  EXPECT_FALSE(budget.admit(":1.3", 1.0));
  EXPECT_EQ(budget.callers(), static_cast<std::size_t>(full));  // the dropped one left no entry
  budget.answered(":2.0", 1.0);
  EXPECT_TRUE(budget.admit(":1.3", 1.0));
  EXPECT_FALSE(budget.admit(":1.4", 1.0));
}

TEST(CallBudget, CallsNeverAnsweredAreForgottenOnceTheyStandInTheWay) {
  CallBudget budget;
  // Many callers, each with a few calls whose answers never went out, fill the budget.
  for (int caller = 0; caller < CallBudget::kAll / 4; ++caller) {
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(budget.admit(":2." + std::to_string(caller), 5.0));
  }
  EXPECT_FALSE(budget.admit(":1.3", 5.0 + CallBudget::kStaleSeconds - 1.0));
  EXPECT_TRUE(budget.admit(":1.3", 5.0 + CallBudget::kStaleSeconds));
  EXPECT_EQ(budget.callers(), 1u);
}

TEST(CallBudget, CallsThatExpectNoAnswerAreTakenAtALimitedPacePerCallerAndForAll) {
  CallBudget budget;
  const int burst = static_cast<int>(CallBudget::kUnansweredPerSecond);
  for (int i = 0; i < burst; ++i) ASSERT_TRUE(budget.admitUnanswered(":1.7", 10.0)) << i;
  EXPECT_FALSE(budget.admitUnanswered(":1.7", 10.0));
  EXPECT_TRUE(budget.admitUnanswered(":1.3", 10.0));  // another caller has its own pace
  // Half a second later, half a second's worth, and no more.
  for (int i = 0; i < burst / 2; ++i) ASSERT_TRUE(budget.admitUnanswered(":1.7", 10.5)) << i;
  EXPECT_FALSE(budget.admitUnanswered(":1.7", 10.5));
  // Calls that expect answers are counted apart.
  EXPECT_TRUE(budget.admit(":1.7", 10.5));

  // Many callers at once share one pace: a flood from many connections is held to it too.
  CallBudget crowd;
  int taken = 0;
  for (int caller = 0; caller < 100; ++caller) {
    for (int i = 0; i < burst; ++i)
      taken += crowd.admitUnanswered(":2." + std::to_string(caller), 0.0);
  }
  EXPECT_EQ(taken, static_cast<int>(CallBudget::kAllUnansweredPerSecond));
}

}  // namespace
