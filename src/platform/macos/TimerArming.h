// TimerArming.h: when the one CFRunLoop timer that carries the shared run loop must fire next,
// and how late it may fire. Plain C++, so that the rule is tested wherever the tests run.
#pragma once

#include <optional>

#include "platform/RunLoop.h"
#include "platform/Timer.h"

namespace platform::macos {

struct TimerArming {
  double fireDate;   // on the run loop's monotonic clock
  double tolerance;  // seconds the system may add to save energy
};

// A tenth of the interval, as Apple's energy guidance suggests: 0.1 s for the 1.0 s tick, which
// keeps each redraw within its second, and 0.03 s for the 0.3 s blink, which keeps the blink
// even.
inline constexpr double kToleranceShare = 0.1;

// Null when nothing is scheduled: the loop may sleep until an event. A waiting call or a stop
// needs a pass at once, without tolerance.
inline std::optional<TimerArming> nextArming(const RunLoop& loop) {
  if (loop.isStopped() || loop.hasDeferredCalls()) return TimerArming{loop.now(), 0.0};
  std::optional<TimerArming> next;
  for (const auto& timer : loop.timers()) {
    if (!next || timer->fireDate() < next->fireDate) {
      next = TimerArming{timer->fireDate(), timer->timeInterval() * kToleranceShare};
    }
  }
  return next;
}

}  // namespace platform::macos
