// GLibRunLoop.h: the main run loop on GLib's main loop. One GSource carries the shared RunLoop:
// it becomes ready when a deferred call waits or the earliest timer is due, and each dispatch
// is one pass.
#pragma once

#include <glib.h>
#include <signal.h>

#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/RunLoop.h"

namespace platform::linux_backend {

// Calls `call` from the default main context when `signal` arrives. Unlike GLib's own signal
// source it takes any signal that can be caught (SIGTSTP, SIGCONT, SIGQUIT, SIGALRM, ...). The
// handler does nothing but write the signal's number to a pipe the context watches, which is
// safe in a signal handler and on any thread. At most one watch per signal at a time; the
// disposition found before it comes back when it is destroyed.
class SignalWatch {
 public:
  SignalWatch(int signal, std::function<void()> call);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // Does now what the signal does by default (stops the process for SIGTSTP): the default
  // disposition, the signal raised, then this watch's handler back. Returns once the process
  // goes on (after SIGCONT, or at once where the default action is to ignore it).
  void raiseDefault();

  int signal() const { return signal_; }

  // For the pipe's watch: the call for each signal that arrived.
  static void dispatch(int signal);

 private:
  int signal_;
  std::function<void()> call_;
  struct sigaction previous_ {};
};

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

  // Each of terminationSignals() calls `call` from the loop, never from a signal handler, so
  // that the program ends through its ordinary teardown and gives the terminal back.
  void onTerminationSignals(std::function<void()> call);
  // The signals whose default action ends the process and that a user sends to end it: the
  // keyboard's (SIGINT, SIGQUIT), the session's (SIGHUP), kill's (SIGTERM), and those that end
  // it only because nobody expects them (SIGUSR1, SIGUSR2, the timer and limit signals).
  // Faults of the program itself (SIGSEGV, SIGABRT, ...) are not among them: it cannot go on
  // to an orderly end after one.
  static std::span<const int> terminationSignals();

  // Whether one of terminationSignals() has arrived and the loop has not acted on it yet.
  // Before the loop runs, the providers' connects wait for their servers; each such wait looks
  // at this at least every kStartupSliceSeconds and gives up when it is set, so that a signal
  // ends the program at once, not after every probe has timed out.
  static bool terminationPending();
  static constexpr double kStartupSliceSeconds = 0.05;

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
  std::vector<std::unique_ptr<SignalWatch>> signalWatches_;
};

}  // namespace platform::linux_backend
