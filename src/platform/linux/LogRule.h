// LogRule.h: which of the libraries' own messages (GLib, GDBus, the menu library, Pango, ...)
// reach standard error. Any caller on the session bus can make a library warn (a menu event for
// an id that does not exist, a property of the wrong type), as often as it likes; written each
// time, a hostile or broken caller would fill the session log. So each kind of message is
// written once, when its episode begins, and again only after the kind has been quiet for a
// while; and however many kinds there are, only so many lines a minute go out in all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

namespace platform::linux_backend {

class LogRule {
 public:
  // A kind quiet this long has ended its episode: the next one is news again.
  static constexpr double kQuietSeconds = 60;
  // At most this many lines in any window of kWindowSeconds, whatever their kinds.
  static constexpr int kLinesPerWindow = 10;
  static constexpr double kWindowSeconds = 60;

  // The kind of a message: its domain and its text up to the first number or quotation,
  // which is where libraries put what the caller sent ("The ID supplied 12 does not ...").
  static std::string kindOf(std::string_view domain, std::string_view message);

  // Whether the message of `kind` that arrives at `now` (monotonic seconds) is written.
  bool admit(const std::string& kind, double now);

 private:
  void forgetEnded(double now);

  std::unordered_map<std::string, double> lastSeen_;  // kinds in an episode: when last seen
  double windowStart_ = -1e300;
  int linesInWindow_ = 0;
};

}  // namespace platform::linux_backend
