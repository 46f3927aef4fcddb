// The idle state machine, fed scripted readings on the simulated platform.
#include <gtest/gtest.h>

#include <initializer_list>

#include "idle/IdleStateMachine.h"
#include "platform/sim/SimBackend.h"

namespace {

struct IdleStateMachineTest : testing::Test {
  platform::sim::SimBackend sim;
  platform::BackendScope scope{sim};
  IdleStateMachine sm;

  // One update per second with each reading in turn; returns `blinking` after the last.
  bool feed(std::initializer_list<std::uint64_t> readings, double step = 1.0) {
    for (std::uint64_t r : readings) {
      sim.spendTime(step);
      sim.setIdleReading(r);
      sm.update();
    }
    return sm.blinking();
  }
};

TEST_F(IdleStateMachineTest, SwitchesOnOnlyAboveSixtyIdleSeconds) {
  for (std::uint64_t r = 0; r <= 60; ++r) EXPECT_FALSE(feed({r})) << r;
  EXPECT_TRUE(feed({61}));
  EXPECT_TRUE(feed({62, 63, UINT64_MAX}));
}

TEST_F(IdleStateMachineTest, ReturnEndsBlinkingOnlyAfterMoreThanTenSeconds) {
  ASSERT_TRUE(feed({61, 62}));
  // The return is seen at t = 3. Updates up to and including t = 13 keep blinking: exactly 10.0 s
  // is not enough.
  EXPECT_TRUE(feed({0}));
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(feed({1})) << i;
  sim.spendTime(0.25);
  EXPECT_FALSE(feed({0}, 0.0));
  // The return date was dropped: a later fall starts a fresh return, not an instant end.
  EXPECT_TRUE(feed({61}));
  EXPECT_TRUE(feed({0}));
  EXPECT_TRUE(feed({0}, 10.0));
  EXPECT_FALSE(feed({0}, 0.5));
}

TEST_F(IdleStateMachineTest, TheGraceIsTimedOnTheMonotonicClockNotTheWallClock) {
  ASSERT_TRUE(feed({70}));
  ASSERT_TRUE(feed({0}));  // returned
  sim.shiftWallClock(-7200);
  EXPECT_TRUE(feed({0}, 5.0));
  EXPECT_FALSE(feed({0}, 5.5));  // 10.5 s after the return, though the clock says -2 h
  ASSERT_TRUE(feed({70}));
  ASSERT_TRUE(feed({0}));
  sim.shiftWallClock(+7200);  // nor does a clock set forward cut it short
  EXPECT_TRUE(feed({0}, 5.0));
  EXPECT_TRUE(feed({0}, 5.0));
  EXPECT_FALSE(feed({0}, 0.5));
}

TEST_F(IdleStateMachineTest, LaterFallsDoNotProlongTheGrace) {
  ASSERT_TRUE(feed({65}));
  ASSERT_TRUE(feed({5}, 0.5));  // return at 1.5
  EXPECT_TRUE(feed({3, 1, 4, 2, 0, 9, 2, 1, 0}));
  EXPECT_FALSE(feed({1}, 1.5));  // 12.0: more than 10 s after the first fall
}

TEST_F(IdleStateMachineTest, FirstUpdateAndEqualReadingsSeeNoFall) {
  // Nothing to fall from at the first update: blinking would end 10 s later if it did.
  ASSERT_TRUE(feed({100}));
  EXPECT_TRUE(feed({100, 100, 100}, 5.0));
  EXPECT_TRUE(feed({100}, 30.0));

  IdleStateMachine fresh;
  sim.setIdleReading(0);
  fresh.update();
  sim.setIdleReading(61);
  fresh.update();
  sim.spendTime(11);
  fresh.update();
  EXPECT_TRUE(fresh.blinking());
}

TEST_F(IdleStateMachineTest, OneUpdateCanSwitchOnAndOffAgain) {
  ASSERT_FALSE(feed({30, 10}));  // returned at 2, not blinking
  // Eleven seconds later the reading is high again (the user left once more): on by the
  // threshold, off by the old return date, in the same update.
  EXPECT_FALSE(feed({61}, 11.0));
  EXPECT_TRUE(feed({62}));
}

TEST_F(IdleStateMachineTest, ResetBlinkingKeepsTheReturnDate) {
  ASSERT_TRUE(feed({61}));
  ASSERT_TRUE(feed({0}));  // away, returned at 2
  sm.resetBlinking();
  EXPECT_FALSE(sm.blinking());
  // A high reading within the grace switches it on again, and the held return date still
  // switches it off once its 10 s are over.
  EXPECT_TRUE(feed({61}, 4.0));
  EXPECT_TRUE(feed({62}, 4.0));
  EXPECT_FALSE(feed({63}, 4.0));
  // With the return date gone, nothing switches it off now.
  EXPECT_TRUE(feed({64}));
}

TEST_F(IdleStateMachineTest, ResetWhileAwayHoldsUntilTheNextHighReading) {
  ASSERT_TRUE(feed({70}));
  sm.resetBlinking();
  EXPECT_FALSE(sm.blinking());
  EXPECT_FALSE(feed({0, 0, 60}));
  EXPECT_TRUE(feed({61}));
}

TEST_F(IdleStateMachineTest, AFailingProbeReadsZeroCountingAsAFallNeverAsAway) {
  ASSERT_TRUE(feed({80}));
  sim.setIdleLookup({platform::IdleLookup::Outcome::keyAbsent, {}});
  for (int i = 0; i < 10; ++i) {
    sim.spendTime(1);
    sm.update();
    EXPECT_TRUE(sm.blinking());
  }
  sim.spendTime(1.5);
  sm.update();
  EXPECT_FALSE(sm.blinking());
  EXPECT_EQ(sim.messages().size(), 11u);
}

TEST_F(IdleStateMachineTest, ABlinkSetFromOutsideEndsLikeAnyOtherAndTheSetterMovesNoDate) {
  // Set while the user is present: the next updates see no fall and no return, so it holds;
  // an update that recomputed the flag from the reading alone would drop it here.
  ASSERT_FALSE(feed({5, 6}));
  sm.setBlinking(true);
  EXPECT_TRUE(feed({7, 8, 0}));  // returned at 5
  EXPECT_TRUE(feed({1}, 10.0));
  EXPECT_FALSE(feed({2}, 0.5));

  // Set off and on again in the grace of a return: the return date stays where it was, so the
  // blink ends 10 s after the return, not 10 s after the setter, nor never.
  ASSERT_TRUE(feed({70}));
  ASSERT_TRUE(feed({0}));  // returned
  EXPECT_TRUE(feed({1, 2, 3, 4}));
  sm.setBlinking(false);
  sm.setBlinking(true);
  EXPECT_TRUE(feed({5, 6, 7, 8, 9, 10}));
  EXPECT_FALSE(feed({11}, 0.5));
}

}  // namespace
