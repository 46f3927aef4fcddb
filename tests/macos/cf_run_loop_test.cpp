// The main run loop on CFRunLoop (macOS only): timers on their grid, deferred calls on a later
// pass, and a stop that ends run().
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/Timer.h"
#include "platform/macos/CFRunLoopEventLoop.h"

namespace {

using platform::macos::CFRunLoopEventLoop;

std::shared_ptr<platform::Timer> schedule(CFRunLoopEventLoop& loop, double interval,
                                          std::function<void()> call, bool repeats) {
  platform::RunLoop& runLoop = loop.runLoop();
  auto timer =
      std::make_shared<platform::Timer>(runLoop, runLoop.now(), interval, std::move(call), repeats);
  runLoop.addTimer(timer);
  return timer;
}

TEST(CFRunLoopEventLoop, TimersFireOnTheirGridAndAStopEndsRun) {
  CFRunLoopEventLoop loop;
  std::vector<double> fires;
  schedule(
      loop, 0.1, [&] { fires.push_back(loop.runLoop().now()); }, true);
  schedule(
      loop, 1.05, [&] { loop.runLoop().stop(); }, false);
  const double start = loop.runLoop().now();
  loop.run();
  const double elapsed = loop.runLoop().now() - start;

  EXPECT_GE(elapsed, 1.05);
  EXPECT_LT(elapsed, 3.0);
  // A loaded runner may skip fires, never add them.
  ASSERT_GE(fires.size(), 3u);
  EXPECT_LE(fires.size(), 10u);
  for (double at : fires) {
    const double onGrid = (at - start) / 0.1;
    EXPECT_GE(onGrid, 0.99);  // never early
  }
}

TEST(CFRunLoopEventLoop, ADeferredCallRunsOnALaterPassSoon) {
  CFRunLoopEventLoop loop;
  bool ranWithinTheCall = false, ran = false;
  double queuedAt = 0, ranAt = 0;
  schedule(
      loop, 0.2,
      [&] {
        queuedAt = loop.runLoop().now();
        loop.runLoop().performLater([&] {
          ran = true;
          ranAt = loop.runLoop().now();
          loop.runLoop().stop();
        });
        ranWithinTheCall = ran;
      },
      false);
  // A long timer keeps the loop from waking for any other reason.
  schedule(
      loop, 30.0, [&] { loop.runLoop().stop(); }, false);
  loop.run();
  EXPECT_FALSE(ranWithinTheCall);
  ASSERT_TRUE(ran);
  EXPECT_LT(ranAt - queuedAt, 0.5);
}

}  // namespace
