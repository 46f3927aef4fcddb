// X11IdleSource.h: the system idle time from the X server's screen saver extension.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/IdleSource.h"

struct xcb_connection_t;

namespace platform::linux_backend {

class X11IdleSource final : public IdleSource {
 public:
  using Clock = std::function<double()>;  // monotonic seconds

  // Connects to $DISPLAY. Null, saying why, when there is no display or it lacks the screen
  // saver extension (Xwayland has none).
  static std::unique_ptr<X11IdleSource> connect(Clock clock, std::string& whyNot);

  // Connects once. Each new X client connection resets the server's idle time, so the
  // connection is kept, and made again only after it is lost.
  explicit X11IdleSource(Clock clock);
  ~X11IdleSource() override;
  X11IdleSource(const X11IdleSource&) = delete;
  X11IdleSource& operator=(const X11IdleSource&) = delete;

  // The idle time in nanoseconds, or "key absent" with no display or no extension.
  //
  // A round trip to the server at every call would block the program once more a second, so
  // each call collects the answer to the query the call before sent, and sends the next one.
  // The answer is aged by the time since it was asked, which is exact while the user stays
  // away and sees a return one call late. The first call, and one after a long pause, waits
  // for a fresh answer.
  IdleLookup lookUp(double monotonicNow);
  IdleLookup lookUpIdleTime() override { return lookUp(clock_()); }

 private:
  void connect();
  void disconnect();
  void ask(double monotonicNow);

  Clock clock_;
  xcb_connection_t* connection_ = nullptr;
  unsigned root_ = 0;
  bool hasExtension_ = false;
  double retryAt_ = 0;
  std::optional<unsigned> pending_;  // sequence number of the query in flight
  double askedAt_ = 0;
};

}  // namespace platform::linux_backend
