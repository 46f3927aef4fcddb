// A week of simulated use: absences, returns and clicks. Every absence must blink and every
// return end it, each click must restart the count, and nothing may pile up.
#include <gtest/gtest.h>

#include <algorithm>

#include "SimApp.h"

using testing_support::invisible;
using testing_support::kPrefix;
using testing_support::SimApp;
using testing_support::visible;

namespace {

TEST(Soak, AWeekOfAbsencesAndClicksBehavesTheSameOnItsLastDayAsOnItsFirst) {
  SimApp app;
  app.sim.userLeaves();
  std::size_t blinked = 0, settled = 0, restarted = 0, counted = 0;
  // Each simulated hour: work for 40 minutes, leave for 15, come back, and every third hour
  // click on coming back; so the count at each hour's end is 5 minutes, 1 hour or 2 hours.
  const char* const countAtHourEnd[] = {"5 minutes", "1 hour", "2 hours"};
  for (int hour = 0; hour < 7 * 24; ++hour) {
    SCOPED_TRACE(hour);
    for (int minute = 0; minute < 40; ++minute) {
      app.sim.userInput();
      app.sim.runFor(60.0);
      ASSERT_LE(app.timers(), 1u);
    }
    app.item().clearTitles();
    app.sim.runFor(15 * 60.0);
    const auto& away = app.item().titles();
    if (app.blinkTimerRunning() &&
        std::any_of(away.begin(), away.end(), [](const auto& t) { return invisible(t.text); })) {
      ++blinked;
    }
    ASSERT_EQ(app.timers(), 2u);
    app.sim.userInput();
    if (hour % 3 == 0) {
      app.item().click();
      if (app.text() == std::string(kPrefix) + "< 1 minute" && visible(app.title())) ++restarted;
    }
    for (int half = 0; half < 10; ++half) {
      app.sim.runFor(30.0);
      app.sim.userInput();
    }
    if (!app.blinkTimerRunning() && visible(app.title())) ++settled;
    if (app.text() == std::string(kPrefix) + countAtHourEnd[hour % 3]) ++counted;
    ASSERT_EQ(app.timers(), 1u);
    ASSERT_FALSE(app.sim.runLoop().hasDeferredCalls());
    app.item().clearTitles();
  }
  EXPECT_EQ(blinked, 168u);
  EXPECT_EQ(settled, 168u);
  EXPECT_EQ(restarted, 56u);
  EXPECT_EQ(counted, 168u);
  // One status item for the whole week, and only the 1.0 s timer left.
  EXPECT_EQ(app.sim.statusItemsCreated(), 1u);
  EXPECT_EQ(app.timers(), 1u);
  EXPECT_GT(app.item().titlesSet(), 7u * 86400);
  EXPECT_TRUE(app.sim.messages().empty());
}

}  // namespace
