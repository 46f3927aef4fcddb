// IdleSource.h: the part of a platform that knows how long the user has not touched keyboard or
// mouse.
#pragma once

#include "platform/IdleLookup.h"

namespace platform {

class IdleSource {
 public:
  virtual ~IdleSource() = default;

  // One lookup, at every tick and blink tick. Must never wait for a server: a source that
  // talks to one answers from what it already has, and a source that has lost its server
  // answers "unavailable" and connects again in the background.
  virtual IdleLookup lookUpIdleTime() = 0;
};

// Where no source works: every lookup finds nothing, so the item never blinks.
class UnavailableIdleSource final : public IdleSource {
 public:
  IdleLookup lookUpIdleTime() override { return IdleLookup::unavailable(); }
};

}  // namespace platform
