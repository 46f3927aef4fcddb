// NotifiedIdleTime.h: idle time from "idle since" and "active again" notifications, for
// compositors that tell a client when the user has been away for a timeout instead of answering
// "how long?". Knows nothing of Wayland, so that its arithmetic is tested on its own.
#pragma once

#include <algorithm>
#include <cstdint>

namespace platform::linux_backend {

// The compositor says "idled" once the user has been away for `timeout`, and "resumed" at the
// first input after it; between input events it says nothing. So the idle time is unknown (read
// as 0) until the timeout has passed, then exact: the timeout plus the time since "idled".
//
// Choosing the timeout: below the away threshold (61 x 2^30 ns, about 65.5 s), the reading
// passes the threshold at the same moment as the true idle time does; the longer it is, the
// fewer pauses in a user's typing bring an idled/resumed pair.
class NotifiedIdleTime {
 public:
  explicit NotifiedIdleTime(double timeoutSeconds) : timeout_(timeoutSeconds) {}

  double timeoutSeconds() const { return timeout_; }

  // Times are seconds on the monotonic clock.
  void idled(double now) {
    // A compositor must not say "idled" twice in a row; if one does, the first one counts.
    if (!idle_) idledAt_ = now;
    idle_ = true;
  }
  void resumed() { idle_ = false; }
  // A new notification starts its timeout afresh, so whatever the old one said is void.
  void restart() { idle_ = false; }
  bool isIdle() const { return idle_; }

  std::int64_t nanoseconds(double now) const {
    if (!idle_) return 0;
    const double seconds = timeout_ + std::max(0.0, now - idledAt_);
    return static_cast<std::int64_t>(seconds * 1e9);
  }

 private:
  double timeout_;
  bool idle_ = false;
  double idledAt_ = 0;
};

// At most one connection attempt every `interval` seconds, the next as soon as that allows: a
// compositor that is gone costs one failed attempt per interval, never a busy loop, and one
// that accepts and then drops every connection cannot make the attempts come faster either.
class RetryPacing {
 public:
  explicit RetryPacing(double intervalSeconds) : interval_(intervalSeconds) {}

  void attempted(double now) {
    attempted_ = true;
    lastAttempt_ = now;
  }
  // Seconds from `now` until the next attempt may start; 0 when it may start at once.
  double delay(double now) const {
    return attempted_ ? std::max(0.0, lastAttempt_ + interval_ - now) : 0.0;
  }

 private:
  double interval_;
  bool attempted_ = false;
  double lastAttempt_ = 0;
};

}  // namespace platform::linux_backend
