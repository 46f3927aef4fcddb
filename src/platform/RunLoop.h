// RunLoop.h: the bookkeeping of the main run loop that every backend shares: which timers are
// due and in what order, and which calls wait for the next pass. A backend owns one and decides
// when a pass happens (virtual time in the simulation, GLib's main loop on Linux).
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

class Timer;

class RunLoop {
 public:
  using Clock = std::function<double()>;  // monotonic seconds

  explicit RunLoop(Clock monotonicClock);
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  double now() const { return clock_(); }

  void addTimer(std::shared_ptr<Timer> timer);
  void removeTimer(const Timer& timer);
  std::size_t timerCount() const { return timers_.size(); }
  std::vector<std::shared_ptr<Timer>> timers() const { return timers_; }

  // The earliest fire date among the scheduled timers.
  std::optional<double> nextFireDate() const;

  // Fires every timer whose fire date has come, earliest first. Timers scheduled from a
  // callback wait for a later pass.
  void fireDueTimers();

  // Queues `call` for the next pass; never runs it from within this call.
  void performLater(std::function<void()> call);
  bool hasDeferredCalls() const { return !deferred_.empty(); }
  // Runs the calls queued before this one was made; those they queue wait for the next pass.
  void runDeferredCalls();

  void stop() { stopped_ = true; }
  bool isStopped() const { return stopped_; }

  // Drops every timer and waiting call, so that nothing can call into an object already gone.
  void reset();

 private:
  Clock clock_;
  std::vector<std::shared_ptr<Timer>> timers_;
  std::deque<std::function<void()>> deferred_;
  bool stopped_ = false;
};

}  // namespace platform
