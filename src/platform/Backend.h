// Backend.h: what one platform provides to the program. Exactly one backend is in use at a
// time; the program reaches it through backend().
#pragma once

#include <memory>
#include <string_view>

#include "platform/IdleLookup.h"
#include "platform/RunLoop.h"
#include "platform/StatusItem.h"

namespace platform {

class Backend {
 public:
  virtual ~Backend() = default;

  // Seconds since the Unix epoch; may jump when the user sets the clock.
  virtual double wallClockNow() = 0;

  virtual RunLoop& runLoop() = 0;
  // Runs the main run loop until it is stopped.
  virtual void run() = 0;

  // A new item in the system status bar; it leaves the bar when destroyed.
  virtual std::unique_ptr<StatusItem> statusItemWithLength(double length) = 0;

  // One lookup of the system idle time; nothing is kept between calls.
  virtual IdleLookup lookUpIdleTime() = 0;

  // One line of the idle probe's messages, without its newline.
  virtual void writeMessageLine(std::string_view line) = 0;
};

// The backend installed by the innermost live BackendScope. Calling it with none installed is
// a programming error.
Backend& backend();

class BackendScope {
 public:
  explicit BackendScope(Backend& backend);
  ~BackendScope();
  BackendScope(const BackendScope&) = delete;
  BackendScope& operator=(const BackendScope&) = delete;

 private:
  Backend* previous_;
};

}  // namespace platform
