// A week of simulated use: absences, returns and clicks, and nothing may pile up.
#include <gtest/gtest.h>

#include "SimApp.h"

using testing_support::SimApp;

namespace {

TEST(Soak, AWeekOfTicksLeavesNoGrowthInTimersOrTitles) {
  SimApp app;
  app.sim.userLeaves();
  std::size_t episodes = 0, clicks = 0;
  // Each simulated hour: work for 40 minutes, leave for 15, come back, click now and then.
  for (int hour = 0; hour < 7 * 24; ++hour) {
    for (int minute = 0; minute < 40; ++minute) {
      app.sim.userInput();
      app.sim.runFor(60.0);
      EXPECT_LE(app.timers(), 1u);
    }
    app.sim.runFor(15 * 60.0);
    EXPECT_EQ(app.timers(), 2u);
    ++episodes;
    app.sim.userInput();
    if (hour % 3 == 0) {
      app.item().click();
      ++clicks;
    }
    for (int half = 0; half < 10; ++half) {
      app.sim.runFor(30.0);
      app.sim.userInput();
    }
    EXPECT_EQ(app.timers(), 1u) << hour;
    EXPECT_EQ(app.sim.runLoop().hasDeferredCalls(), false);
    app.item().clearTitles();
  }
  EXPECT_EQ(episodes, 168u);
  EXPECT_EQ(clicks, 56u);
  // One status item for the whole week, and only the 1.0 s timer left.
  EXPECT_EQ(app.sim.statusItemsCreated(), 1u);
  EXPECT_EQ(app.timers(), 1u);
  EXPECT_GT(app.item().titlesSet(), 7u * 86400);
  EXPECT_TRUE(app.sim.messages().empty());
}

}  // namespace
