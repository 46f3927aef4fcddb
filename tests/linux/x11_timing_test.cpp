// The X11 source's timing rules without a server: how answers are aged, when they are too old,
// when an unanswered query becomes a failure, and how often the source connects again.
#include <gtest/gtest.h>

#include "platform/linux/idle/X11IdleSource.h"

using platform::IdleLookup;
using platform::linux_backend::X11ConnectPacing;
using platform::linux_backend::X11IdleAnswers;
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
  // It resumes: the answer it owed is too old, so it is asked again.
  answers.answered(12'000);
  EXPECT_FALSE(failed(at(9.0)));
  EXPECT_EQ(queries, 3);
  answers.answered(3);
  EXPECT_NEAR(seconds(at(10.0)), 1.003, 1e-6);
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
  EXPECT_LE(X11Timing::kRetrySeconds, 10.0);
  EXPECT_GE(X11Timing::kRetrySeconds, 10.0);
}

}  // namespace
