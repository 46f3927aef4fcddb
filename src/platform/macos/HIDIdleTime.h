// HIDIdleTime.h: the HID system's idle time, read from the I/O registry.
#pragma once

#include "platform/IdleLookup.h"

namespace platform::macos {

// One full registry lookup of the "HIDIdleTime" property of the first "IOHIDSystem" service,
// which reads that property alone, and copies the service's whole property table only when
// that read finds nothing, to tell an absent key from unreadable properties.
// Keeps nothing between calls and holds no registry object after it returns, whatever the
// outcome. The caller turns the outcome into a reading and its messages.
IdleLookup lookUpHIDIdleTime();

}  // namespace platform::macos
