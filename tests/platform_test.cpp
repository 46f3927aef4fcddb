// Styled text, colours and the run loop's timer semantics on the simulated platform.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Application.h"
#include "platform/AttributedString.h"
#include "platform/Date.h"
#include "platform/Timer.h"
#include "platform/sim/SimBackend.h"

using platform::AttributedString;
using platform::Attributes;
using platform::Color;
using platform::Font;
using platform::Timer;

namespace {

const Color kRed = Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 1, 1);

TEST(AttributedString, AddedAttributesOverrideOnlyTheirKeyAndRange) {
  AttributedString s("abcdef");
  s.addAttributes({.font = Font::boldSystemFontOfSize(0)}, {2, 3});
  s.addAttributes({.foregroundColor = kRed}, {0, 3});
  s.addAttributes({.foregroundColor = Color::blackColor()}, {1, 1});

  const std::vector<AttributedString::Run> want = {
      {{0, 1}, {.foregroundColor = kRed}},
      {{1, 1}, {.foregroundColor = Color::blackColor()}},
      {{2, 1}, {.font = Font::boldSystemFontOfSize(0), .foregroundColor = kRed}},
      {{3, 2}, {.font = Font::boldSystemFontOfSize(0)}},
      {{5, 1}, {}},
  };
  EXPECT_EQ(s.runs(), want);
}

TEST(AttributedString, AppendKeepsEachPartsAttributesAndMergesEqualRuns) {
  AttributedString a("ab"), b("cd"), c("ef");
  b.addAttributes({.foregroundColor = kRed}, {0, 2});
  a.appendAttributedString(b);
  a.appendAttributedString(c);
  a.appendAttributedString(AttributedString());
  EXPECT_EQ(a.string(), "abcdef");
  ASSERT_EQ(a.runs().size(), 3u);
  EXPECT_EQ(a.runs()[1].range, (platform::Range{2, 2}));

  AttributedString d("x");
  d.appendAttributedString(AttributedString("y"));
  EXPECT_EQ(d.runs().size(), 1u);
}

TEST(AttributedString, RangesPastTheEndAreCutToTheText) {
  AttributedString s("abc");
  s.addAttributes({.foregroundColor = kRed}, {1, 100});
  s.addAttributes({.foregroundColor = Color::blackColor()}, {10, 5});
  ASSERT_EQ(s.runs().size(), 2u);
  EXPECT_EQ(s.runs()[1].range, (platform::Range{1, 2}));
  EXPECT_EQ(s.runs()[1].attributes.foregroundColor, kRed);
}

TEST(Color, CalibratedComponentsAreClampedToTheUnitRange) {
  using C = Color;
  EXPECT_EQ(C::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, -1.8, 1), C::blackColor());
  EXPECT_EQ(C::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 22.0, 1), kRed);
  EXPECT_EQ(kRed.rgba(), (platform::Rgba{1, 0, 0, 1}));
  EXPECT_EQ(C::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 0.6, 1).rgba(),
            (platform::Rgba{0.6, 0, 0, 1}));
  EXPECT_EQ(C::colorWithCalibratedHueSaturationBrightnessAlpha(1.0, 1, 1, 7).rgba(),
            (platform::Rgba{1, 0, 0, 1}));
  EXPECT_EQ(C::colorWithCalibratedHueSaturationBrightnessAlpha(1 / 3.0, 1, 1, 1).rgba().green, 1);
  EXPECT_TRUE(C::clearColor().isClear());
  EXPECT_FALSE(C::blackColor().isClear());
}

// A backend with no delegate: just the loop and the clocks.
struct Loop : testing::Test {
  platform::sim::SimBackend sim;
  platform::BackendScope scope{sim};
  std::vector<double> fired;

  std::shared_ptr<Timer> every(double interval) {
    return Timer::scheduledTimerWithTimeInterval(
        interval, [this] { fired.push_back(sim.monotonicNow()); }, true);
  }
};

TEST_F(Loop, RepeatingTimerKeepsItsScheduleWhenLateAndSkipsMissedFires) {
  auto timer = every(1.0);
  // A callback that holds the loop up from 3.5 until 6.25: the fires due at 4, 5 and 6 come as
  // one late fire, and the one after it is still on the whole second.
  auto hog = Timer::scheduledTimerWithTimeInterval(
      3.5, [this] { sim.spendTime(2.75); }, false);
  sim.runFor(7.5);
  EXPECT_EQ(fired, (std::vector<double>{1, 2, 3, 6.25, 7}));
  EXPECT_EQ(timer->fireDate(), 8);
}

TEST_F(Loop, InvalidateStopsForGoodEvenFromTheTimersOwnCallback) {
  std::shared_ptr<Timer> self;
  int calls = 0;
  self = Timer::scheduledTimerWithTimeInterval(
      0.5,
      [&] {
        ++calls;
        self->invalidate();
        self->invalidate();
        self.reset();  // drops the last reference but ours from inside the call
      },
      true);
  sim.runFor(5);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(sim.runLoop().timerCount(), 0u);
}

TEST_F(Loop, TimersDueTogetherFireInOrderOfFireDate) {
  std::vector<int> order;
  auto a = Timer::scheduledTimerWithTimeInterval(
      1.0, [&] { order.push_back(1); }, true);
  auto b = Timer::scheduledTimerWithTimeInterval(
      0.3, [&] { order.push_back(3); }, true);
  sim.runFor(1.0);
  EXPECT_EQ(order, (std::vector<int>{3, 3, 3, 1}));
}

TEST_F(Loop, OneShotTimerFiresOnceAndLeavesTheLoop) {
  int calls = 0;
  auto once = Timer::scheduledTimerWithTimeInterval(
      0.5, [&] { ++calls; }, false);
  sim.runFor(3);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(once->isValid());
  EXPECT_EQ(sim.runLoop().timerCount(), 0u);
}

TEST_F(Loop, DeferredCallsRunOnALaterPassNeverInline) {
  std::vector<std::string> log;
  auto& loop = sim.runLoop();
  loop.performLater([&] {
    log.push_back("first");
    loop.performLater([&] { log.push_back("queued by first"); });
  });
  log.push_back("after performLater");
  sim.runOnePass();
  EXPECT_EQ(log, (std::vector<std::string>{"after performLater", "first"}));
  sim.runOnePass();
  EXPECT_EQ(log.back(), "queued by first");
}

TEST_F(Loop, WallClockMovesWithoutMovingTheTimerSchedule) {
  auto timer = every(1.0);
  const double wall = platform::Date::date().secondsSinceEpoch();
  sim.shiftWallClock(-3600);
  EXPECT_DOUBLE_EQ(platform::Date::date().secondsSinceEpoch(), wall - 3600);
  sim.runFor(1.0);
  EXPECT_EQ(fired, (std::vector<double>{1}));
}

}  // namespace
