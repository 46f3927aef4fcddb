// X11IdleSource.h: the system idle time from the X server's screen saver extension, without
// ever waiting for the server while the program runs.
#pragma once

#include <glib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/IdleSource.h"

struct xcb_connection_t;

namespace platform::linux_backend {

// The timing rules of the X11 source, apart from XCB so that tests reach them.
struct X11Timing {
  // A new X client connection resets the server's idle time, so the source connects again after
  // a loss at most this often.
  static constexpr double kRetrySeconds = 10.0;
  // An answer older than this is not aged but asked again: the program or the server may have
  // been stopped (bars stop their status command while hidden), and the user may be back since.
  static constexpr double kFreshSeconds = 2.0;
  // A query unanswered this long: the server has stopped answering.
  static constexpr double kAnswerTimeoutSeconds = 3.0;
  // How long the start-up probe waits for the connection and a first answer.
  static constexpr double kProbeSeconds = 2.0;
};

// The answers to the one query kept in flight, and what a lookup reports from them.
class X11IdleAnswers {
 public:
  // One lookup at `now`. Sends a query through `ask` (which says whether it went out) when none
  // is in flight, then reports the newest answer aged by the time since it was asked. While an
  // answer is on its way it repeats the last reading, which the state machine takes as no news;
  // a query unanswered past the timeout is a failure.
  IdleLookup lookUp(double now, const std::function<bool()>& ask);
  // Sends a query through `ask` unless one is in flight.
  void prefetch(double now, const std::function<bool()>& ask);
  // The server's answer to the query in flight: its idle time when the query was asked.
  void answered(std::uint32_t idleMs);
  // The server's reply to the query in flight: an answer, or nothing for an error, after which
  // the next lookup asks again.
  void replied(std::optional<std::uint32_t> idleMs);
  // The query in flight will never be answered (an error reply, a lost connection).
  void forget();
  bool inFlight() const { return askedAt_.has_value(); }
  bool hasAnswer() const { return latest_.has_value(); }

 private:
  struct Answer {
    std::uint32_t idleMs;
    double askedAt;
  };
  std::optional<double> askedAt_;
  std::optional<Answer> latest_;
  std::int64_t lastReported_ = 0;
};

// When the source may try to connect again: each attempt, lost or failed, waits for the retry
// interval since the one before.
class X11ConnectPacing {
 public:
  bool mayTry(double now) const { return !lastTry_ || now - *lastTry_ >= X11Timing::kRetrySeconds; }
  void tried(double now) { lastTry_ = now; }

 private:
  std::optional<double> lastTry_;
};

class X11IdleSource final : public IdleSource {
 public:
  using Clock = std::function<double()>;  // monotonic seconds

  // The start-up probe: connects to $DISPLAY and waits a bounded time for a first answer. Null,
  // saying why, when there is no display, it lacks the screen saver extension (Xwayland has
  // none) or it does not answer in time.
  static std::unique_ptr<X11IdleSource> connect(Clock clock, std::string& whyNot);

  // Starts connecting to `display` ($DISPLAY when empty) on a worker thread and returns at
  // once. The connection is kept for life and made again only after it is lost; the main loop
  // watches it, so replies are read as they come and a lost server is noticed.
  explicit X11IdleSource(Clock clock, std::string display = {});
  ~X11IdleSource() override;
  X11IdleSource(const X11IdleSource&) = delete;
  X11IdleSource& operator=(const X11IdleSource&) = delete;

  // Never waits: answers from what the server has already said (see X11IdleAnswers), and
  // "unavailable" while there is no connection or the server has stopped answering.
  IdleLookup lookUp(double monotonicNow);
  IdleLookup lookUpIdleTime() override { return lookUp(clock_()); }

  // Blocks up to `seconds` for the connection and one answer. Only for start-up, before the
  // main loop runs.
  bool waitForFirstAnswer(double seconds, std::string& whyNot);

 private:
  struct Attempt;

  static void runAttempt(std::shared_ptr<Attempt> attempt, std::string display);
  static gboolean onAttemptFinished(gpointer attempt);
  void startAttempt(double now);
  void takeFinishedAttempt();
  void abandonAttempt();
  void collect();
  void drop();
  bool ask();
  static gboolean onConnectionReadable(gint fd, GIOCondition condition, gpointer self);

  Clock clock_;
  std::string display_;
  std::shared_ptr<Attempt> attempt_;
  X11ConnectPacing pacing_;
  xcb_connection_t* connection_ = nullptr;
  guint watch_ = 0;
  unsigned root_ = 0;
  bool hasExtension_ = false;
  unsigned sequence_ = 0;  // of the query in flight
  X11IdleAnswers answers_;
};

}  // namespace platform::linux_backend
