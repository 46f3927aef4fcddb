// IdleStateMachine.h: turns successive idle readings into one flag, `blinking`: on once the
// user has been away for more than 60 idle seconds, off again 10 s after the user is seen
// returning.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/Date.h"

class IdleStateMachine {
 public:
  // Takes one idle reading and advances the state. Called at every tick.
  void update();

  bool blinking() const { return _blinking; }
  void setBlinking(bool blinking) { _blinking = blinking; }

  // Stops the blinking without forgetting a return that is still in its grace period.
  void resetBlinking() { _blinking = false; }

 private:
  std::uint64_t lastIdle = 0;
  // On the monotonic clock: a clock set back during the grace must not stretch it.
  std::optional<platform::SteadyDate> lastReturnDate;
  bool _blinking = false;
};
