// X11IdleSource.h: the system idle time from the X server's screen saver extension.
#pragma once

#include "platform/IdleLookup.h"

typedef struct _XDisplay Display;

namespace platform::linux_backend {

class X11IdleSource {
 public:
  // Connects once. Each new X client connection resets the server's idle time, so the
  // connection is kept, and made again only after it is lost.
  X11IdleSource();
  ~X11IdleSource();
  X11IdleSource(const X11IdleSource&) = delete;
  X11IdleSource& operator=(const X11IdleSource&) = delete;

  // The idle time in nanoseconds, or "key absent" with no display or no extension.
  IdleLookup lookUp(double monotonicNow);

 private:
  void connect();
  void disconnect();

  Display* display_ = nullptr;
  bool hasExtension_ = false;
  bool lost_ = false;
  double retryAt_ = 0;
};

}  // namespace platform::linux_backend
