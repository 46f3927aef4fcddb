// The timing of an idle time asked of a server without waiting: ageing, staleness, slow
// answers, the one question in flight and its pace, giving up, and the pause after a failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/linux/idle/PolledIdleTime.h"

using platform::linux_backend::PolledIdleTime;

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

TEST(PolledIdleTime, NewestAnswerIsAgedFromWhenItsQuestionWasAsked) {
  PolledIdleTime query;
  EXPECT_FALSE(query.idleNanoseconds(100.0));

  query.asked(100.0);
  query.answered(4200, 100.01);
  EXPECT_EQ(query.idleNanoseconds(100.5), 4'700'000'000);

  // The next question is in flight: the answer before it keeps ageing.
  query.asked(101.0);
  EXPECT_EQ(query.idleNanoseconds(101.75), 4'200'000'000 + 1'750'000'000);

  // Its answer, which arrives late, is aged from when it was asked, not from its arrival: the
  // user came back, and the reading falls.
  query.answered(300, 101.7);
  EXPECT_EQ(query.idleNanoseconds(101.75), 300'000'000 + 750'000'000);
}

TEST(PolledIdleTime, SlowAnswerStandsUntilTheNextIsDueNotLonger) {
  PolledIdleTime query;
  query.asked(100.0);
  query.answered(70'000, 101.5);  // 1.5 s late: still an answer
  EXPECT_EQ(query.idleNanoseconds(101.5), 71'500'000'000);
  // The next question, asked soon after, is slow too: the answer stands while it may come.
  query.asked(102.0);
  EXPECT_EQ(query.idleNanoseconds(106.9), 76'900'000'000);
  EXPECT_EQ(query.idleNanoseconds(107.0), 77 * kSecond);
  // Five seconds unanswered: the service has stalled, and the old answer is too old to age.
  EXPECT_TRUE(query.overdue(107.01));
  EXPECT_FALSE(query.idleNanoseconds(107.01));

  // Asked in the same lookup that took the answer in, the next question may carry a clock
  // reading a hair earlier than the answer's: the answer still stands for it.
  query.asked(108.0);
  query.answered(1000, 108.5);
  query.asked(108.5 - 1e-6);
  EXPECT_EQ(query.idleNanoseconds(112.0), 5 * kSecond);

  // An answer later than the give-up time is dropped, and the one before it with it.
  query.asked(110.0);
  query.answered(1000, 110.5);
  query.asked(111.0);
  query.answered(2000, 116.5);
  EXPECT_FALSE(query.idleNanoseconds(116.5));
}

TEST(PolledIdleTime, AnswerSeenMoreThanTwoSecondsAgoIsNoReadingUntilAFreshOne) {
  PolledIdleTime query;
  query.asked(100.0);
  query.answered(70'000, 100.0);
  EXPECT_EQ(query.idleNanoseconds(102.0), 72 * kSecond);
  EXPECT_FALSE(query.idleNanoseconds(102.01));
  EXPECT_FALSE(query.idleNanoseconds(160.0));  // stopped for a minute: not 130 s idle

  // Nor does it stand for the question asked after such a pause.
  query.asked(160.0);
  EXPECT_FALSE(query.idleNanoseconds(160.5));
  query.answered(1000, 160.5);
  EXPECT_EQ(query.idleNanoseconds(160.5), 1'500'000'000);
}

TEST(PolledIdleTime, OneQuestionATickAtMostAndAStalledOneIsGivenUp) {
  PolledIdleTime query;
  EXPECT_TRUE(query.mayAsk(-1e9));  // any clock origin
  query.asked(100.0);
  EXPECT_FALSE(query.mayAsk(100.1));
  EXPECT_FALSE(query.overdue(105.0));
  EXPECT_FALSE(query.mayAsk(105.0));
  EXPECT_TRUE(query.overdue(105.01));

  query.gaveUp();
  EXPECT_FALSE(query.overdue(105.01));
  EXPECT_TRUE(query.mayAsk(105.01));  // a stall is no refusal: ask again at once

  // Answered at once, the next question still waits for the next tick, not the next blink
  // tick.
  query.asked(106.0);
  query.answered(10, 106.01);
  EXPECT_FALSE(query.mayAsk(106.3));
  EXPECT_FALSE(query.mayAsk(106.6));
  EXPECT_TRUE(query.mayAsk(106.9));
}

TEST(PolledIdleTime, FailureForgetsTheAnswerAndHoldsTheNextQuestionBack) {
  PolledIdleTime query;
  query.asked(100.0);
  query.answered(5000, 100.0);
  query.asked(101.0);
  query.failed(101.2);
  EXPECT_FALSE(query.idleNanoseconds(101.3));
  EXPECT_FALSE(query.waiting());
  EXPECT_FALSE(query.mayAsk(111.1));
  EXPECT_TRUE(query.mayAsk(111.2));

  // A reply that comes after the failure, to a question no longer waited for, is no answer.
  query.answered(42, 111.2);
  EXPECT_FALSE(query.idleNanoseconds(111.2));
}

TEST(PolledIdleTime, AbsurdAnswersSaturateInsteadOfOverflowing) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  PolledIdleTime query;
  query.asked(100.0);
  query.answered(std::numeric_limits<std::uint64_t>::max(), 100.0);
  EXPECT_EQ(query.idleNanoseconds(101.9), kMax);

  // Just below the limit in milliseconds, the ageing alone would overflow.
  query.asked(102.0);
  query.answered(static_cast<std::uint64_t>(kMax / 1'000'000), 102.0);
  EXPECT_EQ(query.idleNanoseconds(103.9), kMax);
}

}  // namespace
