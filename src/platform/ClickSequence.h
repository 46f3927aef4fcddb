// ClickSequence.h: the one rule that tells a double-click from two clicks, for every bar whose
// host reports plain presses (i3bar click events, terminal mouse reports, a tray's Activate).
#pragma once

#include <optional>

namespace platform {

// Tells a double-click from two clicks: a second button-1 press within 400 ms of the one
// before. The first press of a pair has already been delivered as a click by then.
class ClickSequence {
 public:
  static constexpr double kDoubleClickSeconds = 0.4;
  enum class Kind { click, doubleClick };

  Kind press(double now) {
    if (last_ && now >= *last_ && now - *last_ <= kDoubleClickSeconds) {
      last_.reset();
      return Kind::doubleClick;
    }
    last_ = now;
    return Kind::click;
  }

 private:
  std::optional<double> last_;
};

}  // namespace platform
