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

}  // namespace
