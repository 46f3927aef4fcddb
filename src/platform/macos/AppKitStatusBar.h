// AppKitStatusBar.h: the macOS menu bar as the program's status bar. Plain C++ on the outside,
// so that code which puts the platform together needs no Objective-C.
#pragma once

#include <memory>

#include "platform/StatusBar.h"

namespace platform::macos {

// Items in the system status bar. Call on the main thread, once NSApp has finished launching.
std::unique_ptr<StatusBar> makeAppKitStatusBar();

}  // namespace platform::macos
