// Date.h: a moment on the wall clock of the platform the program runs on.
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

}  // namespace platform
