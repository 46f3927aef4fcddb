// The timing of an idle time asked of a server without waiting: ageing, staleness, the one
// question in flight, giving up, and the pause after a failure.
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
  query.answered(4200);
  EXPECT_EQ(query.idleNanoseconds(100.5), 4'700'000'000);

  // The next question is in flight: the answer before it keeps ageing.
  query.asked(101.0);
  EXPECT_EQ(query.idleNanoseconds(101.75), 4'200'000'000 + 1'750'000'000);

  // Its answer, which arrives late, is aged from when it was asked, not from its arrival: the
  // user came back, and the reading falls.
  query.answered(300);
  EXPECT_EQ(query.idleNanoseconds(101.75), 300'000'000 + 750'000'000);
}

TEST(PolledIdleTime, AnswerOlderThanTwoSecondsIsNoReadingUntilAFreshOne) {
  PolledIdleTime query;
  query.asked(100.0);
  query.answered(70'000);
  EXPECT_EQ(query.idleNanoseconds(102.0), 72 * kSecond);
  EXPECT_FALSE(query.idleNanoseconds(102.01));
  EXPECT_FALSE(query.idleNanoseconds(160.0));  // stopped for a minute: not 130 s idle

  query.asked(160.0);
  EXPECT_FALSE(query.idleNanoseconds(160.5));
  query.answered(1000);
  EXPECT_EQ(query.idleNanoseconds(160.5), 1'500'000'000);
}

TEST(PolledIdleTime, OneQuestionAtATimeAndAStalledOneIsGivenUp) {
  PolledIdleTime query;
  EXPECT_TRUE(query.mayAsk(-1e9));  // any clock origin
  query.asked(100.0);
  EXPECT_FALSE(query.mayAsk(100.1));
  EXPECT_FALSE(query.overdue(103.0));
  EXPECT_FALSE(query.mayAsk(103.0));
  EXPECT_TRUE(query.overdue(103.01));

  query.gaveUp();
  EXPECT_FALSE(query.overdue(103.01));
  EXPECT_TRUE(query.mayAsk(103.01));  // a stall is no refusal: ask again at once
}

TEST(PolledIdleTime, FailureForgetsTheAnswerAndHoldsTheNextQuestionBack) {
  PolledIdleTime query;
  query.asked(100.0);
  query.answered(5000);
  query.asked(101.0);
  query.failed(101.2);
  EXPECT_FALSE(query.idleNanoseconds(101.3));
  EXPECT_FALSE(query.waiting());
  EXPECT_FALSE(query.mayAsk(111.1));
  EXPECT_TRUE(query.mayAsk(111.2));

  // A reply that comes after the failure, to a question no longer waited for, is no answer.
  query.answered(42);
  EXPECT_FALSE(query.idleNanoseconds(111.2));
}

TEST(PolledIdleTime, AbsurdAnswersSaturateInsteadOfOverflowing) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  PolledIdleTime query;
  query.asked(100.0);
  query.answered(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(query.idleNanoseconds(101.9), kMax);

  // Just below the limit in milliseconds, the ageing alone would overflow.
  query.asked(102.0);
  query.answered(static_cast<std::uint64_t>(kMax / 1'000'000));
  EXPECT_EQ(query.idleNanoseconds(103.9), kMax);
}

}  // namespace
