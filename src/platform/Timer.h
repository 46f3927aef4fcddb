// Timer.h: repeating and one-shot timers on the main run loop.
#pragma once

#include <functional>
#include <memory>

namespace platform {

class RunLoop;

// A scheduled timer is kept alive by its run loop until it is invalidated, so holding the
// returned pointer is optional. Fire dates lie at start + k x interval on the monotonic clock:
// a late fire does not shift the ones after it, and fires missed while the loop was busy are
// skipped, not queued.
class Timer {
 public:
  using Callback = std::function<void()>;

  // Schedules on the main run loop of the platform the program runs on.
  static std::shared_ptr<Timer> scheduledTimerWithTimeInterval(double interval, Callback callback,
                                                               bool repeats);

  Timer(RunLoop& runLoop, double start, double interval, Callback callback, bool repeats);
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Never fires again afterwards; safe to call from the timer's own callback, and twice.
  void invalidate();

  bool isValid() const { return valid_; }
  double timeInterval() const { return interval_; }
  double fireDate() const { return fireDate_; }

 private:
  friend class RunLoop;
  // Moves the fire date past `now` and calls back. Called by the run loop once the fire date
  // has come.
  void fire(double now);

  RunLoop& runLoop_;
  double start_;
  double interval_;
  double fireDate_;
  Callback callback_;
  bool repeats_;
  bool valid_ = true;
};

}  // namespace platform
