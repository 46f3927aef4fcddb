// The two rules behind standard error: the bounded queue in front of a reader that may stall,
// and the rule that mutes the libraries' repeated messages.
#include <gtest/gtest.h>

#include <string>

#include "platform/linux/ErrorQueue.h"
#include "platform/linux/LogRule.h"

using platform::linux_backend::ErrorQueue;
using platform::linux_backend::LogRule;

namespace {

struct Reader {
  std::string got;
  std::size_t room = std::string::npos;  // bytes it takes before it stops reading
  bool gone = false;
  int sends = 0;

  ErrorQueue::Send send() {
    return [this](std::string_view bytes) -> std::optional<std::size_t> {
      ++sends;
      if (gone) return std::nullopt;
      const std::size_t n = std::min(room, bytes.size());
      got.append(bytes.substr(0, n));
      if (room != std::string::npos) room -= n;
      return n;
    };
  }
};

TEST(ErrorQueue, StalledReaderHoldsABoundedQueueThenGetsItInOrderWithOneNoteOfTheRest) {
  Reader reader;
  reader.room = 3;
  ErrorQueue queue(reader.send());
  queue.write("first\n");
  EXPECT_EQ(reader.got, "fir");
  for (int i = 0; i < 1000; ++i) queue.write("line " + std::to_string(i) + "\n");
  EXPECT_TRUE(queue.waiting());
  EXPECT_EQ(queue.dropped(), 1000u - (ErrorQueue::kMaxWaitingMessages - 1));

  reader.room = std::string::npos;
  queue.flush();
  EXPECT_FALSE(queue.waiting());
  // The begun message first, whole; then those kept, in order; then one line for the rest.
  std::string expected = "first\n";
  for (std::size_t i = 0; i + 1 < ErrorQueue::kMaxWaitingMessages; ++i) {
    expected += "line " + std::to_string(i) + "\n";
  }
  ASSERT_EQ(reader.got.substr(0, expected.size()), expected);
  const std::string note =
      "sitting-timer: 969 message(s) dropped: standard error was not being read\n";
  EXPECT_EQ(reader.got.substr(expected.size()), note);

  // A new episode of drops gets a note of its own; a reader that keeps up gets no note.
  queue.write("after\n");
  EXPECT_EQ(reader.got.substr(reader.got.size() - 6), "after\n");
  EXPECT_EQ(reader.got.find("dropped", expected.size() + note.size()), std::string::npos);
}

TEST(ErrorQueue, BoundIsInBytesTooAndAMessageIsNeverCut) {
  Reader reader;
  reader.room = 0;
  ErrorQueue queue(reader.send());
  queue.write(std::string(ErrorQueue::kMaxWaitingBytes - 10, 'a') + "\n");
  queue.write(std::string(20, 'b') + "\n");  // would pass the bound: dropped whole
  queue.write("c\n");
  EXPECT_EQ(queue.dropped(), 1u);
  reader.room = std::string::npos;
  queue.flush();
  EXPECT_EQ(reader.got.find("bbbb"), std::string::npos);
  EXPECT_NE(reader.got.find("\nc\n"), std::string::npos);
}

TEST(ErrorQueue, GoneReaderKeepsNothingAndIsNotAskedAgain) {
  Reader reader;
  reader.room = 0;
  ErrorQueue queue(reader.send());
  queue.write("waiting\n");
  reader.gone = true;
  queue.flush();
  EXPECT_TRUE(queue.gone());
  EXPECT_FALSE(queue.waiting());
  const int sends = reader.sends;
  for (int i = 0; i < 100; ++i) queue.write("more\n");
  queue.flush();
  EXPECT_EQ(reader.sends, sends);
}

TEST(LogRule, KindIsTheDomainAndTheTextBeforeWhatTheCallerSent) {
  const std::string unknownId =
      LogRule::kindOf("LIBDBUSMENU-GLIB", "The ID supplied 12 does not refer to a menu item");
  EXPECT_EQ(unknownId, LogRule::kindOf("LIBDBUSMENU-GLIB",
                                       "The ID supplied 4000000 does not refer to a menu item"));
  EXPECT_EQ(LogRule::kindOf("LIBDBUSMENU-GLIB", "The IDs supplied '1, 2' do not refer"),
            LogRule::kindOf("LIBDBUSMENU-GLIB", "The IDs supplied '7, 8, 9, 10' do not refer"));
  EXPECT_NE(unknownId, LogRule::kindOf("GLib-GIO", "The ID supplied 12 does not refer to a"));
  EXPECT_NE(unknownId, LogRule::kindOf("LIBDBUSMENU-GLIB", "Unable to find ID: 12"));
}

TEST(LogRule, OneLinePerKindPerEpisodeAndAnEpisodeEndsOnlyAfterQuiet) {
  LogRule rule;
  const std::string a = LogRule::kindOf("LIBDBUSMENU-GLIB", "Unable to find ID: 1");
  const std::string b = LogRule::kindOf("LIBDBUSMENU-GLIB", "The IDs supplied '1'");
  int written = 0;
  double now = 100;
  // A thousand hostile calls in ten seconds, two kinds of warning each.
  for (int i = 0; i < 1000; ++i, now += 0.01) written += rule.admit(a, now) + rule.admit(b, now);
  EXPECT_EQ(written, 2);
  // Kept up at one call every 30 s, the episode never ends.
  for (int i = 0; i < 100; ++i) {
    now += LogRule::kQuietSeconds / 2;
    EXPECT_FALSE(rule.admit(a, now));
  }
  // After a quiet minute it is news again, once.
  now += LogRule::kQuietSeconds;
  EXPECT_TRUE(rule.admit(a, now));
  EXPECT_FALSE(rule.admit(a, now + 1));
}

TEST(LogRule, MadeUpKindsGetNoMoreThanTheBudgetOfLinesAMinute) {
  LogRule rule;
  double now = 0;
  int written = 0;
  for (int i = 0; i < 5000; ++i, now += 0.001) {
    written += rule.admit(LogRule::kindOf("x", "kind" + std::string(i % 50 + 1, 'z')), now);
  }
  EXPECT_EQ(written, LogRule::kLinesPerWindow);
  // A new window: a new budget, for kinds that are news.
  now += LogRule::kWindowSeconds;
  EXPECT_TRUE(rule.admit(LogRule::kindOf("x", "another"), now));
  int later = 1;
  for (int i = 0; i < 5000; ++i)
    later += rule.admit(LogRule::kindOf("x", std::string(i, 'q')), now);
  EXPECT_EQ(later, LogRule::kLinesPerWindow);
}

}  // namespace
