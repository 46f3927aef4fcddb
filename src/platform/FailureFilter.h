// FailureFilter.h: lets a lasting failure's messages through once, when it begins, and again
// only after a success in between, so that a missing idle source does not fill a session log
// with the same line every second.
#pragma once

namespace platform {

class FailureFilter {
 public:
  // After each attempt: whether it failed.
  void attempted(bool failed) {
    mute_ = failed && failing_;
    failing_ = failed;
  }
  // Whether the messages of the latest attempt are a repeat.
  bool mute() const { return mute_; }

 private:
  bool failing_ = false;
  bool mute_ = false;
};

}  // namespace platform
