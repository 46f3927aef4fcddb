// Idle time from idled/resumed notifications, and the pacing of reconnections: the arithmetic
// that makes an event-driven source blink and stop blinking at the same ticks as a polled one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/linux/idle/NotifiedIdleTime.h"
#include "platform/linux/idle/WaylandIdleSource.h"

using platform::linux_backend::NotifiedIdleTime;
using platform::linux_backend::RetryPacing;
using platform::linux_backend::WaylandIdleSource;

namespace {

// The reading the idle state machine compares with its threshold of 60.
std::uint64_t units(std::int64_t ns) { return static_cast<std::uint64_t>(ns) >> 30; }

// The first tick, ticking once a second from `phase`, whose reading passes 60 when the user
// stopped at 0, for a source that knows the idle time exactly and for one that is told "idled"
// after `timeout`.
double firstAwayTick(double phase, double timeout, bool notified) {
  NotifiedIdleTime idle(timeout);
  for (int k = 0; k < 200; ++k) {
    const double t = phase + k;
    if (notified && t >= timeout) idle.idled(timeout);
    const std::int64_t ns =
        notified ? idle.nanoseconds(t) : static_cast<std::int64_t>(std::floor(t * 1e9));
    if (units(ns) > 60) return t;
  }
  return -1;
}

}  // namespace

TEST(NotifiedIdleTime, ReadsZeroUntilIdledThenTimeoutPlusTimeSinceAndZeroAgainOnResume) {
  NotifiedIdleTime idle(60.0);
  EXPECT_EQ(idle.nanoseconds(1000.0), 0);
  idle.idled(1000.0);
  EXPECT_EQ(idle.nanoseconds(1000.0), 60'000'000'000);
  EXPECT_EQ(idle.nanoseconds(1012.5), 72'500'000'000);
  // A clock read a moment before the event was noted must not read less than the timeout.
  EXPECT_EQ(idle.nanoseconds(999.0), 60'000'000'000);
  idle.resumed();
  EXPECT_EQ(idle.nanoseconds(1013.0), 0);
  EXPECT_FALSE(idle.isIdle());
}

TEST(NotifiedIdleTime, SecondIdledWithoutResumeKeepsTheFirstAndRestartForgetsIt) {
  NotifiedIdleTime idle(60.0);
  idle.idled(10.0);
  idle.idled(30.0);
  EXPECT_EQ(idle.nanoseconds(40.0), 90'000'000'000);
  // A new connection's notification counts its timeout from its own creation.
  idle.restart();
  EXPECT_EQ(idle.nanoseconds(41.0), 0);
}

TEST(NotifiedIdleTime, DefaultTimeoutBlinksAtTheSameTickAsAPolledSourceWhateverThePhase) {
  const double timeout = WaylandIdleSource::Settings{}.timeoutSeconds;
  ASSERT_LT(timeout * 1e9, 61.0 * std::pow(2.0, 30)) << "the threshold would pass unseen";
  for (double phase = 0.0; phase < 1.0; phase += 0.01) {
    EXPECT_EQ(firstAwayTick(phase, timeout, true), firstAwayTick(phase, timeout, false))
        << "phase " << phase;
  }
}

TEST(NotifiedIdleTime, TimeoutAboveTheThresholdWouldBlinkLate) {
  // Why the timeout must stay below 61 x 2^30 ns: the check above fails for such a choice.
  EXPECT_GT(firstAwayTick(0.5, 70.0, true), firstAwayTick(0.5, 70.0, false));
}

TEST(NotifiedIdleTime, ReturnShowsAsAFallAtTheNextTick) {
  NotifiedIdleTime idle(60.0);
  idle.idled(60.0);
  const std::uint64_t before = units(idle.nanoseconds(80.0));
  idle.resumed();  // between two ticks
  EXPECT_LT(units(idle.nanoseconds(81.0)), before);
}

TEST(RetryPacing, AttemptsComeAtMostOncePerIntervalAndAtOnceWhenOneIsOverdue) {
  RetryPacing pacing(10.0);
  EXPECT_EQ(pacing.delay(5.0), 0.0);  // nothing tried yet
  pacing.attempted(100.0);
  // Lost 3 s after connecting: the compositor may be dropping every client; wait the rest.
  EXPECT_DOUBLE_EQ(pacing.delay(103.0), 7.0);
  EXPECT_DOUBLE_EQ(pacing.delay(100.0), 10.0);
  // Lost after a long good connection: try again at once.
  EXPECT_EQ(pacing.delay(500.0), 0.0);
  pacing.attempted(500.0);
  EXPECT_DOUBLE_EQ(pacing.delay(500.0), 10.0);
}
