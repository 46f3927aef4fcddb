// GLibRunLoop.h: the main run loop on GLib's main loop. One GSource carries the shared RunLoop:
// it becomes ready when a deferred call waits or the earliest timer is due, and each dispatch
// is one pass.
#pragma once

#include <glib.h>

#include <functional>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/RunLoop.h"

namespace platform::linux_backend {

class GLibRunLoop final : public EventLoop {
 public:
  GLibRunLoop();
  ~GLibRunLoop() override;
  GLibRunLoop(const GLibRunLoop&) = delete;
  GLibRunLoop& operator=(const GLibRunLoop&) = delete;

  // The system clock, so that a clock set back shows as such.
  double wallClockNow() override { return static_cast<double>(g_get_real_time()) / 1e6; }
  RunLoop& runLoop() override { return runLoop_; }
  GMainContext* context() const { return context_; }

  // Runs until the RunLoop is stopped, from any callback of the context.
  void run() override;

  // SIGINT, SIGTERM and SIGHUP call `call` from the loop, never from a signal handler, so that
  // the program ends through its ordinary teardown.
  void onTerminationSignals(std::function<void()> call);

  // Seconds on GLib's monotonic clock.
  static double monotonicNow() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

  // For the GSource: whether a pass is due now, and one pass.
  bool passDue();
  void runPass();

 private:
  RunLoop runLoop_;
  GMainContext* context_;
  GMainLoop* loop_;
  GSource* source_;
  std::function<void()> onTerminate_;
  std::vector<guint> signalSources_;
};

}  // namespace platform::linux_backend
