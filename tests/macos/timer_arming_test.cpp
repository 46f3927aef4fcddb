// When the one CFRunLoop timer of the macOS loop is set to fire, and how late it may fire.
#include <gtest/gtest.h>

#include <memory>

#include "platform/RunLoop.h"
#include "platform/Timer.h"
#include "platform/macos/TimerArming.h"

namespace {

using platform::macos::nextArming;

struct Loop {
  double now = 100.0;
  platform::RunLoop loop{[this] { return now; }};

  std::shared_ptr<platform::Timer> every(double interval) {
    auto timer = std::make_shared<platform::Timer>(
        loop, now, interval, [] {}, true);
    loop.addTimer(timer);
    return timer;
  }
};

TEST(TimerArming, NothingScheduledLetsTheLoopSleepUntilAnEvent) {
  Loop l;
  EXPECT_FALSE(nextArming(l.loop));
}

TEST(TimerArming, TheEarliestTimerSetsTheDateAndATenthOfItsOwnIntervalAsTolerance) {
  Loop l;
  l.every(1.0);
  auto a = nextArming(l.loop);
  ASSERT_TRUE(a);
  EXPECT_DOUBLE_EQ(a->fireDate, 101.0);
  EXPECT_DOUBLE_EQ(a->tolerance, 0.1);

  // The blink timer comes first: its tolerance, not the tick's, keeps the blink even.
  l.now = 100.5;
  l.every(0.3);
  a = nextArming(l.loop);
  ASSERT_TRUE(a);
  EXPECT_DOUBLE_EQ(a->fireDate, 100.8);
  EXPECT_DOUBLE_EQ(a->tolerance, 0.03);
}

TEST(TimerArming, AnInvalidatedTimerNoLongerWakesTheLoop) {
  Loop l;
  l.every(1.0);
  auto blink = l.every(0.3);
  blink->invalidate();
  auto a = nextArming(l.loop);
  ASSERT_TRUE(a);
  EXPECT_DOUBLE_EQ(a->fireDate, 101.0);
}

// A double-click queues the terminate; without a pass at once it would wait for the next tick.
TEST(TimerArming, AWaitingCallOrAStopNeedsAPassAtOnceWithoutTolerance) {
  Loop l;
  l.every(1.0);
  l.loop.performLater([] {});
  auto a = nextArming(l.loop);
  ASSERT_TRUE(a);
  EXPECT_DOUBLE_EQ(a->fireDate, l.now);
  EXPECT_EQ(a->tolerance, 0.0);

  Loop stopped;
  stopped.loop.stop();
  a = nextArming(stopped.loop);
  ASSERT_TRUE(a);
  EXPECT_DOUBLE_EQ(a->fireDate, stopped.now);
  EXPECT_EQ(a->tolerance, 0.0);
}

}  // namespace
