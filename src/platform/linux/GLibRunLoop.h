// GLibRunLoop.h: the main run loop on GLib's main loop. One GSource carries the shared RunLoop:
// it becomes ready when a deferred call waits or the earliest timer is due, and each dispatch
// is one pass.
#pragma once

#include <glib.h>

#include "platform/RunLoop.h"

namespace platform::linux_backend {

class GLibRunLoop {
 public:
  GLibRunLoop();
  ~GLibRunLoop();
  GLibRunLoop(const GLibRunLoop&) = delete;
  GLibRunLoop& operator=(const GLibRunLoop&) = delete;

  RunLoop& runLoop() { return runLoop_; }
  GMainContext* context() const { return context_; }

  // Runs until the RunLoop is stopped, from any callback of the context.
  void run();

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
};

}  // namespace platform::linux_backend
