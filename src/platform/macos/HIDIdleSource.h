// HIDIdleSource.h: the idle source of macOS, the HID system's idle time in the I/O registry. The
// registry answers at once, so each lookup is done afresh.
#pragma once

#include "platform/IdleSource.h"
#include "platform/macos/HIDIdleTime.h"

namespace platform::macos {

class HIDIdleSource final : public IdleSource {
 public:
  IdleLookup lookUpIdleTime() override { return lookUpHIDIdleTime(); }
};

}  // namespace platform::macos
