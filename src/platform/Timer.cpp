#include "platform/Timer.h"

#include <cmath>

#include "platform/Backend.h"
#include "platform/RunLoop.h"

namespace platform {

std::shared_ptr<Timer> Timer::scheduledTimerWithTimeInterval(double interval, Callback callback,
                                                             bool repeats) {
  RunLoop& loop = backend().runLoop();
  auto timer = std::make_shared<Timer>(loop, loop.now(), interval, std::move(callback), repeats);
  loop.addTimer(timer);
  return timer;
}

Timer::Timer(RunLoop& runLoop, double start, double interval, Callback callback, bool repeats)
    : runLoop_(runLoop),
      start_(start),
      // A zero or negative interval would make a repeating timer spin the loop.
      interval_(interval > 0.0001 ? interval : 0.0001),
      fireDate_(start + interval_),
      callback_(std::move(callback)),
      repeats_(repeats) {}

void Timer::invalidate() {
  if (!valid_) return;
  valid_ = false;
  runLoop_.removeTimer(*this);
}

void Timer::fire(double now) {
  if (repeats_) {
    double k = std::floor((now - start_) / interval_) + 1;
    fireDate_ = start_ + k * interval_;
    while (fireDate_ <= now) fireDate_ = start_ + ++k * interval_;
  }
  // The run loop holds a reference during the call, so the callback may invalidate this timer
  // and drop every other reference to it.
  if (!repeats_) invalidate();
  callback_();
}

}  // namespace platform
