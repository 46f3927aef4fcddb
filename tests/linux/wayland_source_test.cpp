// The Wayland idle source against a real headless compositor (sway or KWin), run by
// tests/desktop/wayland_harness.py, which says in the environment how to start the compositor
// and how to inject input. The source is built with a 2 s timeout instead of 60 s, so that
// idleness comes quickly; everything else is as in the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdlib>
#include <string>

#include "platform/linux/GLibRunLoop.h"
#include "platform/linux/idle/WaylandIdleSource.h"

using platform::IdleLookup;
using platform::linux_backend::GLibRunLoop;
using platform::linux_backend::WaylandIdleSource;

namespace {

constexpr double kTimeout = 2.0;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

double now() { return GLibRunLoop::monotonicNow(); }

WaylandIdleSource::Protocol protocolNamed(const std::string& id) {
  return id == "ext-idle-notify" ? WaylandIdleSource::Protocol::extIdleNotify
                                 : WaylandIdleSource::Protocol::kdeIdle;
}

bool found(const IdleLookup& lookup) { return lookup.outcome == IdleLookup::Outcome::found; }
double seconds(const IdleLookup& lookup) { return static_cast<double>(lookup.value.number) / 1e9; }

class WaylandSource : public testing::Test {
 protected:
  void SetUp() override {
    if (env("SITTING_TEST_COMPOSITOR").empty()) {
      GTEST_SKIP() << "run by tests/desktop/wayland_harness.py, which starts the compositor";
    }
    protocol = protocolNamed(env("SITTING_TEST_PROTOCOL"));
    context = g_main_context_new();
    startCompositor();
  }

  void TearDown() override {
    source.reset();
    if (compositor > 0) {
      kill(compositor, SIGCONT);
      kill(compositor, SIGKILL);
      waitpid(compositor, nullptr, 0);
    }
    if (context) g_main_context_unref(context);
  }

  void startCompositor() {
    compositor = fork();
    if (compositor == 0) {
      execl("/bin/sh", "sh", "-c", env("SITTING_TEST_COMPOSITOR").c_str(), nullptr);
      _exit(127);
    }
    ASSERT_GT(compositor, 0);
    // Ready once it answers a round trip (this test may wait; the source never does).
    const double deadline = now() + 30;
    for (;;) {
      if (wl_display* display = wl_display_connect(nullptr)) {
        const bool answered = wl_display_roundtrip(display) >= 0;
        wl_display_disconnect(display);
        if (answered) return;
      }
      ASSERT_LT(now(), deadline) << "compositor not ready";
      ASSERT_EQ(waitpid(compositor, nullptr, WNOHANG), 0) << "compositor ended";
      g_usleep(100'000);
    }
  }

  void killCompositor() {
    kill(compositor, SIGKILL);
    waitpid(compositor, nullptr, 0);
    compositor = -1;
  }

  void input() { ASSERT_EQ(std::system(env("SITTING_TEST_INPUT").c_str()), 0); }

  void connect(WaylandIdleSource::Settings settings = {}) {
    settings.timeoutSeconds = kTimeout;
    std::string whyNot;
    source = WaylandIdleSource::connect(protocol, context, now, whyNot, settings);
    ASSERT_TRUE(source) << whyNot;
  }

  // Runs the context for `seconds`, as the program's loop would between two lookups.
  void pump(double seconds) {
    bool done = false;
    GSource* timer = g_timeout_source_new(static_cast<guint>(seconds * 1000));
    g_source_set_callback(
        timer,
        [](gpointer flag) -> gboolean {
          *static_cast<bool*>(flag) = true;
          return G_SOURCE_REMOVE;
        },
        &done, nullptr);
    g_source_attach(timer, context);
    while (!done) g_main_context_iteration(context, TRUE);
    g_source_unref(timer);
  }

  // Pumps until `ready` holds or `limit` seconds have passed; the time it took.
  template <class Ready>
  double pumpUntil(Ready ready, double limit) {
    const double start = now();
    while (!ready() && now() - start < limit) pump(0.05);
    return now() - start;
  }

  WaylandIdleSource::Protocol protocol{};
  GMainContext* context = nullptr;
  pid_t compositor = -1;
  std::unique_ptr<WaylandIdleSource> source;
};

TEST_F(WaylandSource, ReadsZeroThenTheIdleTimeAfterTheTimeoutAndZeroAgainAtTheLookupAfterInput) {
  connect();
  const double connected = now();
  EXPECT_TRUE(found(source->lookUpIdleTime()));
  EXPECT_EQ(source->lookUpIdleTime().value.number, 0);

  pump(kTimeout + 1.0);
  IdleLookup idle = source->lookUpIdleTime();
  ASSERT_TRUE(found(idle));
  // The compositor counts from the notification's creation, just after `connected`.
  EXPECT_GE(seconds(idle), kTimeout);
  EXPECT_LE(seconds(idle), now() - connected + 0.5);
  pump(1.0);
  EXPECT_NEAR(seconds(source->lookUpIdleTime()) - seconds(idle), 1.0, 0.5) << "grows with time";

  input();
  // The program looks again within one tick.
  pump(1.0);
  idle = source->lookUpIdleTime();
  EXPECT_TRUE(found(idle));
  EXPECT_EQ(idle.value.number, 0) << "input not seen at the next lookup";

  // And the same notification tells the next absence.
  pump(kTimeout + 1.0);
  EXPECT_GE(seconds(source->lookUpIdleTime()), kTimeout);
}

TEST_F(WaylandSource, LostCompositorReadsUnavailableAtOnceAndIsLookedForOncePerInterval) {
  // A shorter interval than the program's 10 s, so that several pass while it is gone.
  WaylandIdleSource::Settings settings;
  settings.retrySeconds = 3.0;
  connect(settings);
  const double connected = now();
  killCompositor();
  const double lost = now();
  pumpUntil([&] { return !source->isConnected(); }, 2.0);
  EXPECT_FALSE(found(source->lookUpIdleTime())) << "a dead compositor still gave readings";
  EXPECT_LT(now() - lost, 1.0);

  // Attempts at 3 s and 6 s after the first, none in between: no busy loop while it is gone.
  pump(connected + 7.5 - now());
  EXPECT_EQ(source->connectionAttempts(), 3);
  EXPECT_FALSE(found(source->lookUpIdleTime()));

  startCompositor();
  pumpUntil([&] { return source->isConnected(); }, 10.0);
  ASSERT_TRUE(source->isConnected()) << "not connected again";
  EXPECT_GE(now() - connected, 8.9) << "reconnected sooner than the interval allows";
  EXPECT_LE(source->connectionAttempts(), 5);

  EXPECT_EQ(source->lookUpIdleTime().value.number, 0);
  pump(kTimeout + 1.0);
  EXPECT_GE(seconds(source->lookUpIdleTime()), kTimeout) << "no readings after reconnecting";
}

TEST_F(WaylandSource, StoppedCompositorHoldsNeitherALookupNorTheLoop) {
  connect();
  kill(compositor, SIGSTOP);
  // Lookups answer from what the source knows; the loop keeps its timers while the
  // compositor cannot answer anything.
  const double start = now();
  pump(kTimeout + 1.0);
  EXPECT_LT(now() - start, kTimeout + 2.0);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(found(source->lookUpIdleTime()));
  kill(compositor, SIGCONT);
  pump(kTimeout + 1.0);
  EXPECT_GE(seconds(source->lookUpIdleTime()), kTimeout);
}

TEST_F(WaylandSource, StartUpSaysPreciselyWhyItCannotWork) {
  std::string whyNot;
  const std::string lacks = env("SITTING_TEST_LACKS");
  if (!lacks.empty()) {
    EXPECT_FALSE(WaylandIdleSource::connect(protocolNamed(lacks), context, now, whyNot));
    EXPECT_EQ(whyNot, lacks == "ext-idle-notify" ? "compositor lacks ext_idle_notifier_v1"
                                                 : "compositor lacks org_kde_kwin_idle");
  }

  kill(compositor, SIGSTOP);
  WaylandIdleSource::Settings settings;
  settings.startSeconds = 1.0;
  const double start = now();
  EXPECT_FALSE(WaylandIdleSource::connect(protocol, context, now, whyNot, settings));
  EXPECT_EQ(whyNot, env("WAYLAND_DISPLAY") + " did not answer within 1 s");
  EXPECT_LT(now() - start, 3.0);
  kill(compositor, SIGCONT);

  const std::string display = env("WAYLAND_DISPLAY");
  setenv("WAYLAND_DISPLAY", "no-such-display", 1);
  EXPECT_FALSE(WaylandIdleSource::connect(protocol, context, now, whyNot));
  EXPECT_EQ(whyNot, "cannot connect to no-such-display: No such file or directory");
  setenv("WAYLAND_DISPLAY", display.c_str(), 1);
}

}  // namespace
