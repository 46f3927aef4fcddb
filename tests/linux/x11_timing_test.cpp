// The X11 source's timing rules without a server: how answers are aged, when they are too old,
// when an unanswered query or an error reply becomes a failure, and how often the source
// connects again (against a socket that hangs up at once).
#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/linux/idle/X11IdleSource.h"

using platform::IdleLookup;
using platform::linux_backend::X11ConnectPacing;
using platform::linux_backend::X11IdleAnswers;
using platform::linux_backend::X11IdleSource;
using platform::linux_backend::X11Timing;

namespace {

struct Answers : testing::Test {
  X11IdleAnswers answers;
  int queries = 0;

  IdleLookup at(double now) {
    return answers.lookUp(now, [this] { return ++queries, true; });
  }
  static double seconds(const IdleLookup& l) {
    EXPECT_EQ(l.outcome, IdleLookup::Outcome::found);
    return static_cast<double>(l.value.number) / 1e9;
  }
  static bool failed(const IdleLookup& l) { return l.outcome != IdleLookup::Outcome::found; }
};

TEST_F(Answers, EachLookupReportsTheLastAnswerAgedByTheTimeSinceItWasAsked) {
  at(10.0);  // asks
  answers.answered(4000);
  EXPECT_NEAR(seconds(at(10.7)), 4.7, 1e-6);  // and asks the next
  EXPECT_EQ(queries, 2);
  answers.answered(100);  // the user came back
  EXPECT_NEAR(seconds(at(11.7)), 1.1, 1e-6);
  EXPECT_EQ(queries, 3);
}

TEST_F(Answers, OneQueryInFlightAtATime) {
  at(0.0);
  at(0.3);
  at(0.6);
  EXPECT_EQ(queries, 1);
  answers.answered(0);
  at(0.9);
  EXPECT_EQ(queries, 2);
}

TEST_F(Answers, AnAnswerOlderThanTheFreshLimitIsAskedAgainNotAged) {
  at(0.0);
  answers.answered(30'000);
  seconds(at(1.0));
  answers.answered(31'000);  // asked at 1.0
  // The program was stopped for a while: the user may be back, so 31 s + the pause would be a
  // false absence. The lookup tells no news and asks again.
  const IdleLookup stale = at(1.0 + X11Timing::kFreshSeconds + 5.0);
  EXPECT_NEAR(seconds(stale), 31.0, 1e-6);  // the reading before, unchanged
  EXPECT_EQ(queries, 3);
  answers.answered(200);
  EXPECT_NEAR(seconds(at(9.0)), 1.2, 1e-6);
}

TEST_F(Answers, UnansweredQueryIsAFailureAfterTheTimeoutAndALateAnswerIsNotUsed) {
  at(0.0);
  answers.answered(5000);
  seconds(at(1.0));  // asks at 1.0; the server stops here
  // The answer in hand ages while it is fresh, then the reading holds: no news yet.
  EXPECT_NEAR(seconds(at(1.5)), 6.5, 1e-6);
  EXPECT_NEAR(seconds(at(2.0)), 7.0, 1e-6);
  for (double t = 2.5; t <= 1.0 + X11Timing::kAnswerTimeoutSeconds; t += 0.5) {
    EXPECT_NEAR(seconds(at(t)), 7.0, 1e-6) << t;
  }
  EXPECT_TRUE(failed(at(1.1 + X11Timing::kAnswerTimeoutSeconds)));
  EXPECT_TRUE(failed(at(8.0)));
  EXPECT_EQ(queries, 2);  // nothing piles up on a stopped server
  // It resumes: the answer it owed is too old, so it is asked again. Until the new answer is in,
  // the lookup repeats what the state machine last read, the failure's 0: the 7 s from before
  // would read as a fall at the next answer, a return the user never made.
  answers.answered(12'000);
  EXPECT_EQ(seconds(at(9.0)), 0.0);
  EXPECT_EQ(queries, 3);
  answers.answered(3);
  EXPECT_NEAR(seconds(at(10.0)), 1.003, 1e-6);
}

TEST_F(Answers, AnErrorReplyIsForgottenSoTheNextLookupAsksAgain) {
  at(0.0);
  answers.replied(std::nullopt);  // the server refused the query
  at(0.5);
  EXPECT_EQ(queries, 2);
  answers.replied(4000);
  EXPECT_NEAR(seconds(at(1.0)), 4.5, 1e-6);
  // A server that refuses now and then never leaves the source waiting for an answer that
  // cannot come: it stays readable past the unanswered-query timeout.
  answers.replied(std::nullopt);
  for (double t = 1.5; t < 1.0 + 2 * X11Timing::kAnswerTimeoutSeconds; t += 0.5) {
    at(t);
    answers.replied(static_cast<std::uint32_t>(t * 1000));
  }
  EXPECT_NEAR(seconds(at(8.0)), 8.0, 1e-6);
}

TEST_F(Answers, FailedQueryIsForgottenAndAskedAgain) {
  at(0.0);
  answers.forget();  // an error reply or a lost connection
  at(1.0);
  EXPECT_EQ(queries, 2);
  X11IdleAnswers noServer;
  EXPECT_TRUE(failed(noServer.lookUp(0.0, [] { return false; })));
}

TEST(X11ConnectPacing, AttemptsAreAtLeastTheRetryIntervalApart) {
  X11ConnectPacing pacing;
  EXPECT_TRUE(pacing.mayTry(0.0));
  pacing.tried(100.0);
  EXPECT_FALSE(pacing.mayTry(100.0));
  EXPECT_FALSE(pacing.mayTry(100.0 + X11Timing::kRetrySeconds - 0.01));
  EXPECT_TRUE(pacing.mayTry(100.0 + X11Timing::kRetrySeconds));
}

// Listens where X display `display()` would be over TCP and hangs up on every connection at
// once, as a server that is going away does: each attempt fails fast, so only the pacing keeps
// the source from connecting at every lookup.
class HangingUpServer {
 public:
  HangingUpServer() {
    for (display_ = 400; display_ < 1400; ++display_) {
      fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(static_cast<std::uint16_t>(6000 + display_));
      if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 16) == 0) {
        break;
      }
      close(fd_);
      fd_ = -1;
    }
    if (fd_ >= 0) thread_ = std::thread([this] { serve(); });
  }
  ~HangingUpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool listening() const { return fd_ >= 0; }
  std::string display() const { return "127.0.0.1:" + std::to_string(display_); }
  int accepted() const { return accepted_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10) != 1) continue;
      const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ++accepted_;
      close(client);
    }
  }
  int display_ = 0;
  int fd_ = -1;
  std::atomic<bool> stop_ = false;
  std::atomic<int> accepted_ = 0;
  std::thread thread_;
};

TEST(X11Reconnect, AServerThatHangsUpIsTriedAtTheRetryPaceNotAtEachLookup) {
  HangingUpServer server;
  ASSERT_TRUE(server.listening());
  double now = 0.0;
  X11IdleSource source([&] { return now; }, server.display());
  // Four lookups a second of the source's clock for 25 s. Between them, real time enough for an
  // attempt to fail and be handed over, so that one in flight cannot hide a lookup's own.
  for (; now <= 25.0; now += 0.25) {
    EXPECT_NE(source.lookUp(now).outcome, IdleLookup::Outcome::found) << now;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(15);
    while (std::chrono::steady_clock::now() < until) {
      g_main_context_iteration(nullptr, FALSE);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // At 0, 10 and 20 s: each new client would reset the server's idle time.
  EXPECT_EQ(server.accepted(), 3);
}

}  // namespace
