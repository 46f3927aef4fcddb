// The run loop's timer semantics on the real GLib main loop, with tolerances a loaded machine
// can keep: nothing here asserts a tight bound on how late a fire may be.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <vector>

#include "platform/Application.h"
#include "platform/Timer.h"
#include "platform/linux/GLibRunLoop.h"

using platform::Timer;
using platform::linux_backend::GLibRunLoop;

namespace {

// A backend with the real loop and nothing else.
class LoopOnly final : public platform::Backend {
 public:
  double wallClockNow() override { return static_cast<double>(g_get_real_time()) / 1e6; }
  platform::RunLoop& runLoop() override { return loop.runLoop(); }
  void run() override { loop.run(); }
  std::unique_ptr<platform::StatusItem> statusItemWithLength(double) override { return nullptr; }
  platform::IdleLookup lookUpIdleTime() override { return {}; }
  void writeMessageLine(std::string_view) override {}

  GLibRunLoop loop;
};

struct GLibLoop : testing::Test {
  LoopOnly backend;
  platform::BackendScope scope{backend};
  std::vector<double> fired;

  double now() { return GLibRunLoop::monotonicNow(); }
};

TEST_F(GLibLoop, RepeatingTimerFiresOnItsGridNeverEarly) {
  const double start = now();
  auto timer = Timer::scheduledTimerWithTimeInterval(
      0.05,
      [&] {
        fired.push_back(now());
        if (fired.size() == 8) backend.runLoop().stop();
      },
      true);
  backend.run();
  ASSERT_EQ(fired.size(), 8u);
  for (std::size_t k = 0; k < fired.size(); ++k) {
    const double due = start + 0.05 * static_cast<double>(k + 1);
    EXPECT_GE(fired[k], due - 1e-6) << k;
    EXPECT_LT(fired[k], due + 0.05) << k;  // each fire before the next one falls due
  }
}

TEST_F(GLibLoop, LateFireDoesNotShiftLaterOnesAndMissedFiresAreSkipped) {
  const double start = now();
  std::shared_ptr<Timer> timer = Timer::scheduledTimerWithTimeInterval(
      0.1,
      [&] {
        fired.push_back(now());
        if (fired.size() == 2) usleep(350'000);  // the loop is held up past three fire dates
        if (fired.size() == 5) backend.runLoop().stop();
      },
      true);
  backend.run();
  ASSERT_EQ(fired.size(), 5u);
  // The late fire comes once, right after the hold-up, not three times in a row.
  EXPECT_GE(fired[2] - fired[1], 0.3);
  EXPECT_GT(fired[3] - fired[2], 0.02);
  // Every fire after it is still on the start + k x interval grid.
  const double k = (timer->fireDate() - start) / 0.1;
  EXPECT_NEAR(k, std::round(k), 0.02);
  EXPECT_GE(std::round(k), 8.0);
}

TEST_F(GLibLoop, InvalidateFromTheTimersOwnCallbackStopsItForGood) {
  int calls = 0;
  std::shared_ptr<Timer> self = Timer::scheduledTimerWithTimeInterval(
      0.01,
      [&] {
        ++calls;
        self->invalidate();
        self.reset();
      },
      true);
  auto stop = Timer::scheduledTimerWithTimeInterval(
      0.15, [&] { backend.runLoop().stop(); }, false);
  backend.run();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(backend.runLoop().timerCount(), 0u);
}

TEST_F(GLibLoop, DeferredCallRunsOnALaterPassNeverInsideTheHandler) {
  std::vector<std::string> log;
  auto once = Timer::scheduledTimerWithTimeInterval(
      0.01,
      [&] {
        backend.runLoop().performLater([&] {
          log.push_back("deferred");
          backend.runLoop().stop();
        });
        log.push_back("handler returns");
      },
      false);
  backend.run();
  EXPECT_EQ(log, (std::vector<std::string>{"handler returns", "deferred"}));
}

TEST_F(GLibLoop, StopFromAnotherGLibSourceLeavesTheLoop) {
  auto tick = Timer::scheduledTimerWithTimeInterval(
      10.0, [] {}, true);
  g_timeout_add(
      20,
      [](gpointer loop) {
        static_cast<platform::RunLoop*>(loop)->stop();
        return G_SOURCE_REMOVE;
      },
      &backend.runLoop());
  const double start = now();
  backend.run();
  EXPECT_LT(now() - start, 5.0);
}

// The deferred terminate a double-click asks for, through the application object.
struct Quitter final : platform::ApplicationDelegate {
  void applicationDidFinishLaunching() override {
    platform::NSApp().performSelectorAfterDelay(&platform::Application::terminate, 0.0);
  }
};

TEST(GLibApplication, DeferredTerminateEndsTheRunAfterLaunchReturns) {
  LoopOnly backend;
  platform::Application app(backend, platform::makeDelegate<Quitter>);
  EXPECT_FALSE(app.isTerminated());
  app.run();
  EXPECT_TRUE(app.isTerminated());
}

}  // namespace

namespace {

// What start-up's waits look at: a signal that ends the program, until the loop acts on it.
TEST(TerminationPending, SetByAnEndingSignalOnlyAndClearedWhenTheLoopActsOnIt) {
  GLibRunLoop loop;
  int ended = 0;
  loop.onTerminationSignals([&] { ++ended; });
  platform::linux_backend::SignalWatch resize(SIGWINCH, [] {});
  EXPECT_FALSE(GLibRunLoop::terminationPending());
  raise(SIGWINCH);  // a terminal's resize ends nothing
  EXPECT_FALSE(GLibRunLoop::terminationPending());
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
    raise(signal);
    EXPECT_TRUE(GLibRunLoop::terminationPending()) << strsignal(signal);
    const int before = ended;
    while (ended == before && g_main_context_iteration(loop.context(), FALSE)) {
    }
    EXPECT_EQ(ended, before + 1) << strsignal(signal);
    EXPECT_FALSE(GLibRunLoop::terminationPending()) << strsignal(signal);
  }
}

}  // namespace
