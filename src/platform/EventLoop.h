// EventLoop.h: the part of a platform that keeps the clocks and runs the main run loop.
#pragma once

#include "platform/RunLoop.h"

namespace platform {

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Seconds since the Unix epoch; may jump when the user sets the clock.
  virtual double wallClockNow() = 0;
  // The shared run loop; its clock is the monotonic one, which never jumps.
  virtual RunLoop& runLoop() = 0;
  // Runs the main run loop until it is stopped.
  virtual void run() = 0;
};

}  // namespace platform
