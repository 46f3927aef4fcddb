// PolledIdleTime.h: the bookkeeping of an idle time asked of a server without waiting for the
// answer. It knows which answer is newest and how old it is, when a question has waited too
// long, and when to ask again after the server said no. It makes no call of its own, so its
// timing can be tested without a server.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace platform::linux_backend {

struct IdlePollTiming {
  // An answer is used for this long after it came in, and for longer only while the question
  // after it, asked within this time, is still in flight: a slow server is a slow source, whose
  // answers stand until the next is due, not a failure between answers. An answer found older
  // (the program was stopped: bars stop their status command while hidden, and the user may
  // well be back since) is not aged but dropped.
  double freshSeconds = 2.0;
  // A question unanswered this long is given up and asked anew, and an answer that comes in
  // later is dropped: the server is stalled, or the program was stopped meanwhile. A desktop
  // under load may answer seconds late; that is still an answer.
  double giveUpSeconds = 5.0;
  // After the server refused or lost a question, and after a lost connection, the next try
  // waits this long, so that a missing service costs one call per interval, not per tick.
  double retrySeconds = 10.0;
  // At most one question per this interval: one a tick, not one more at each blink tick.
  double askSeconds = 0.9;
};

class PolledIdleTime {
 public:
  using Timing = IdlePollTiming;

  explicit PolledIdleTime(Timing timing = {}) : timing_(timing) {}

  const Timing& timing() const { return timing_; }

  // Whether a question may be sent now: none is waiting for its answer, the last one was not
  // asked just now, and no failure holds the next one back.
  bool mayAsk(double now) const {
    return !waiting_ && now >= retryAt_ && (!asked_ || now - askedAt_ >= timing_.askSeconds);
  }
  // Whether the question in flight has waited too long; the caller cancels it and calls
  // `gaveUp`.
  bool overdue(double now) const { return waiting_ && now - askedAt_ > timing_.giveUpSeconds; }
  bool waiting() const { return waiting_; }

  void asked(double now) {
    waiting_ = true;
    asked_ = true;
    askedAt_ = now;
  }
  // The answer to the question in flight, in milliseconds of idle time when it was asked, seen
  // at `now`. One that took longer than the give-up time is dropped with the answer before it:
  // both say what was true too long ago.
  void answered(std::uint64_t idleMilliseconds, double now) {
    if (!waiting_) return;
    waiting_ = false;
    if (now - askedAt_ > timing_.giveUpSeconds) {
      answerMs_.reset();
      return;
    }
    answerMs_ = idleMilliseconds;
    answerAskedAt_ = askedAt_;
    answerSeenAt_ = now;
  }
  // The question in flight is cancelled without a verdict on the server; ask again at once.
  void gaveUp() {
    waiting_ = false;
    asked_ = false;
  }
  // Whatever was asked and answered no longer counts; the next question may go at once.
  void forget() { *this = PolledIdleTime(timing_); }
  // The server refused the question, or is gone: whatever it said before no longer counts, and
  // the next question waits.
  void failed(double now) {
    waiting_ = false;
    answerMs_.reset();
    retryAt_ = now + timing_.retrySeconds;
  }

  // The newest answer aged by the time since its question was asked, which is exact while the
  // user stays away and sees a return one question late; none without a standing answer.
  std::optional<std::int64_t> idleNanoseconds(double now) const {
    if (!answerMs_ || !stands(now)) return std::nullopt;
    const double age = now - answerAskedAt_;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const auto ageNs = static_cast<std::int64_t>(age > 0 ? age * 1e9 : 0);
    // A service that answers nonsense must not overflow the reading.
    if (*answerMs_ > static_cast<std::uint64_t>(kMax - ageNs) / 1'000'000) return kMax;
    return static_cast<std::int64_t>(*answerMs_) * 1'000'000 + ageNs;
  }

 private:
  bool stands(double now) const {
    if (now - answerSeenAt_ <= timing_.freshSeconds) return true;
    // The next answer is on its way, and this one was fresh when it was asked for. (Asked
    // in the same lookup that took the answer in, it may carry a time a hair earlier.)
    return waiting_ && !overdue(now) && askedAt_ - answerSeenAt_ <= timing_.freshSeconds;
  }

  Timing timing_;
  bool waiting_ = false;
  bool asked_ = false;
  double askedAt_ = 0;
  std::optional<std::uint64_t> answerMs_;
  double answerAskedAt_ = 0;
  double answerSeenAt_ = 0;
  double retryAt_ = std::numeric_limits<double>::lowest();
};

}  // namespace platform::linux_backend
