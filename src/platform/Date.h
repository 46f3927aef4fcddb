// Date.h: moments on the clocks of the platform the program runs on.
#pragma once

namespace platform {

class Date {
 public:
  // The current moment.
  static Date date();

  // Seconds from now to this moment: negative when it lies in the past. The wall clock may be
  // set back or forward at any time, so callers must be ready for either sign.
  double timeIntervalSinceNow() const;

  double secondsSinceEpoch() const { return seconds_; }

 private:
  explicit Date(double secondsSinceEpoch) : seconds_(secondsSinceEpoch) {}
  double seconds_;
};

// A moment on the monotonic clock, which the user cannot set: for intervals that must last as
// long as they say whatever happens to the wall clock meanwhile.
class SteadyDate {
 public:
  static SteadyDate date();
  double timeIntervalSinceNow() const;

 private:
  explicit SteadyDate(double seconds) : seconds_(seconds) {}
  double seconds_;
};

}  // namespace platform
