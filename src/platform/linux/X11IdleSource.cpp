#include "platform/linux/X11IdleSource.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace platform::linux_backend {

namespace {

// Reconnecting costs the user their idle time once; not more often than this.
constexpr double kRetrySeconds = 10.0;

// Xlib's defaults print and exit the process when the server goes away, which would leave a
// terminal in raw mode; mark the connection lost instead and carry on without idle time.
int quietIOError(Display*) { return 0; }

void markLost(Display*, void* lost) { *static_cast<bool*>(lost) = true; }

}  // namespace

X11IdleSource::X11IdleSource() {
  XSetIOErrorHandler(quietIOError);
  connect();
}

X11IdleSource::~X11IdleSource() { disconnect(); }

void X11IdleSource::connect() {
  display_ = XOpenDisplay(nullptr);
  if (!display_) return;
  lost_ = false;
  XSetIOErrorExitHandler(display_, markLost, &lost_);
  int event = 0, error = 0;
  hasExtension_ = XScreenSaverQueryExtension(display_, &event, &error);
}

void X11IdleSource::disconnect() {
  if (display_) XCloseDisplay(display_);
  display_ = nullptr;
  hasExtension_ = false;
}

IdleLookup X11IdleSource::lookUp(double monotonicNow) {
  if (lost_) {
    disconnect();
    lost_ = false;
    retryAt_ = monotonicNow + kRetrySeconds;
  }
  if (!display_ && monotonicNow >= retryAt_) {
    connect();
    retryAt_ = monotonicNow + kRetrySeconds;
  }

  IdleLookup absent{IdleLookup::Outcome::keyAbsent, {}};
  if (!display_ || !hasExtension_) return absent;
  XScreenSaverInfo info{};
  if (!XScreenSaverQueryInfo(display_, DefaultRootWindow(display_), &info) || lost_) return absent;
  return IdleLookup::nanoseconds(static_cast<std::int64_t>(info.idle) * 1'000'000);
}

}  // namespace platform::linux_backend
