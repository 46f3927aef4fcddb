// CallBudget.h: how many calls each caller on the session bus may have waiting for their
// answers. GDBus reads every call as it comes and queues every answer until the bus daemon
// takes it, with no limit: a caller sending calls faster than the daemon drains the answers
// (20,000 icon reads in a few seconds) would make the program hold hundreds of MiB of them.
#pragma once

#include <gio/gio.h>

#include <map>
#include <string>
#include <string_view>

namespace platform::linux_backend {

// The rule, apart from GDBus. Hosts make a few calls at a time (a GetAll on registration, one
// Get per signal, a menu's layout): they never come near the limit. Calls past it are dropped
// unanswered, which costs the flooding caller a timeout on each and nobody else anything.
// Callers are cheap to make, so all of them together have a limit too: a flood from many
// connections at once may cost a host a dropped call, never the program its memory.
class CallBudget {
 public:
  // Calls one caller may have waiting: an icon answer is about 19 KiB, so about 1.2 MiB.
  static constexpr int kPerCaller = 64;
  // Calls all callers together may have waiting, about 10 MiB of the largest answers.
  static constexpr int kAll = 512;
  // A caller whose answers have not moved for this long has its count forgotten when it stands
  // in the way: a call that was never answered must not shut anybody out for good.
  static constexpr double kStaleSeconds = 30.0;

  // No call the item or its menu understands comes near this many bytes of arguments; each
  // call waits whole until it is handled, so larger ones are dropped as they come.
  static constexpr std::size_t kLargestCall = 16 * 1024;
  // Calls that expect no answer leave nothing queued once handled, but each waits for the main
  // loop until then, so their pace is limited instead: per caller, and for all together.
  static constexpr double kUnansweredPerSecond = 64;
  static constexpr double kAllUnansweredPerSecond = 512;

  // A call from `caller`, expecting an answer, has arrived at `now` (monotonic seconds):
  // whether it is taken, and counted until its answer goes out.
  bool admit(std::string_view caller, double now);
  // A call from `caller` that expects no answer: whether it is taken.
  bool admitUnanswered(std::string_view caller, double now);
  // An answer to `caller` is about to be written.
  void answered(std::string_view caller, double now);
  int waiting(std::string_view caller) const;
  int waitingAll() const { return waiting_; }
  // The number of callers with calls waiting: the table holds nobody else.
  std::size_t callers() const { return callers_.size(); }

 private:
  struct Caller {
    int waiting = 0;
    double moved = 0;  // when the last answer went out, or the first call came
  };
  void forgetStale(double now);
  // Calls that may still come now at a pace of `rate` a second, in a burst of as many.
  struct Pace {
    double allowance;
    double at;
    void refill(double rate, double now);
  };

  std::map<std::string, Caller, std::less<>> callers_;
  int waiting_ = 0;  // all callers' together
  std::map<std::string, Pace, std::less<>> paces_;
  Pace allPace_{kAllUnansweredPerSecond, 0};
};

// Holds `bus` to the budget for as long as it lives, through a GDBus message filter (which
// runs on GDBus's own thread, for every message in and out).
class CallLimit {
 public:
  explicit CallLimit(GDBusConnection* bus);
  ~CallLimit();
  CallLimit(const CallLimit&) = delete;
  CallLimit& operator=(const CallLimit&) = delete;

 private:
  struct Shared;
  static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                              void* shared);

  GDBusConnection* bus_;
  unsigned filterId_;
};

}  // namespace platform::linux_backend
