#include "idle/IdleStateMachine.h"

#include "idle/systemIdleSeconds.h"

void IdleStateMachine::update() {
  const std::uint64_t idle = systemIdleSeconds();

  if (idle > 60) _blinking = true;

  // A fall of the idle time means input since the last update. Only the first fall counts as
  // the return, or a user who keeps typing would keep the title blinking.
  if (idle < lastIdle && !lastReturnDate) lastReturnDate = platform::SteadyDate::date();

  if (lastReturnDate && lastReturnDate->timeIntervalSinceNow() < -10.0) {
    _blinking = false;
    lastReturnDate.reset();
  }

  lastIdle = idle;
}
