// Blinking: an absence on the simulated platform, from the first high idle reading to the end
// of the grace after the user's return.
#include <gtest/gtest.h>

#include <cmath>

#include "SimApp.h"

using testing_support::invisible;
using testing_support::kPrefix;
using testing_support::SimApp;
using testing_support::visible;

namespace {

// Idle seconds are 2^30 ns: a reading above 60 takes 61 x 2^30 ns, about 65.5 s.
constexpr double kFirstBlinkingTick = 66.0;

struct BlinkTest : testing::Test {
  SimApp app;
  BlinkTest() { app.sim.userLeaves(); }

  // Titles set since the last call, as (time, drawn invisible).
  std::vector<std::pair<double, bool>> drawn() {
    std::vector<std::pair<double, bool>> out;
    for (const auto& t : app.item().titles()) {
      EXPECT_EQ(t.text.string().substr(0, kPrefix.size()), kPrefix);
      out.emplace_back(std::round(t.at * 10) / 10, invisible(t.text));
      EXPECT_TRUE(invisible(t.text) || visible(t.text));
    }
    app.item().clearTitles();
    return out;
  }
};

TEST_F(BlinkTest, TitleAlternatesEveryThreeTenthsWhileTheUserIsAway) {
  app.sim.runFor(kFirstBlinkingTick - 1);
  EXPECT_FALSE(app.blinkTimerRunning());
  drawn();

  app.sim.runFor(1.0);
  EXPECT_TRUE(app.blinkTimerRunning());
  EXPECT_EQ(app.timers(), 2u);
  app.sim.runFor(1.6);
  // The 1.0 s tick at 67 redraws in the phase of the blink tick before it.
  const std::vector<std::pair<double, bool>> want = {
      {66.0, false}, {66.3, true},  {66.6, false}, {66.9, true},
      {67.0, true},  {67.2, false}, {67.5, true},
  };
  EXPECT_EQ(drawn(), want);

  // The count goes on while away; it is not restarted by the absence.
  app.sim.runFor(600);
  EXPECT_EQ(app.timers(), 2u);
  EXPECT_NE(app.text().find("11 minutes"), std::string::npos);
}

TEST_F(BlinkTest, ReturnEndsTheBlinkingAfterTheGraceAndStopsTheTimer) {
  app.sim.runFor(100.0);
  app.sim.userInput();  // seen as a return by the blink tick at 100.2
  app.sim.runFor(10.2);
  EXPECT_TRUE(app.blinkTimerRunning());
  drawn();
  app.sim.runFor(0.3);  // the first update more than 10 s after the return
  EXPECT_FALSE(app.blinkTimerRunning());
  EXPECT_EQ(app.timers(), 1u);
  const auto last = drawn();
  ASSERT_FALSE(last.empty());
  EXPECT_FALSE(last.back().second);

  app.sim.runFor(30.0);
  for (const auto& [at, hidden] : drawn()) {
    EXPECT_FALSE(hidden) << at;
    EXPECT_EQ(at, std::round(at)) << "only 1.0 s ticks once the blinking ended";
  }
}

TEST_F(BlinkTest, ClickWhileBlinkingStopsAtOnceAndShowsTheRestartedCount) {
  app.sim.runFor(200.0);
  ASSERT_TRUE(app.blinkTimerRunning());
  // Click in an invisible phase, between ticks.
  app.sim.runFor(0.3);
  ASSERT_TRUE(invisible(app.title()));
  app.sim.spendTime(0.05);
  app.item().click();
  EXPECT_FALSE(app.blinkTimerRunning());
  EXPECT_TRUE(visible(app.title()));
  EXPECT_EQ(app.text(), std::string(kPrefix) + "< 1 minute");

  drawn();
  app.sim.runFor(60.0);
  for (const auto& [at, hidden] : drawn()) EXPECT_FALSE(hidden) << at;
  EXPECT_EQ(app.timers(), 1u);
}

// Where a blinking episode ends decides the phase that the next one starts in: the phase is
// changed by blink ticks alone.
TEST_F(BlinkTest, PhaseSurvivesTheEndOfBlinkingIntoTheNextEpisode) {
  struct Case {
    double inputAt;
    bool endsInvisible;
  };
  // Return at the blink tick of 80.1: the grace ends at the blink tick of 90.3, which flipped
  // the phase to invisible. Return at 80.7: it ends at the 1.0 s tick of 91, phase visible.
  for (const Case c : {Case{80.05, true}, Case{80.45, false}}) {
    SCOPED_TRACE(c.inputAt);
    SimApp app;
    app.sim.userLeaves();
    app.sim.runFor(c.inputAt);
    app.sim.userInput();
    app.sim.runFor(15.0);
    ASSERT_FALSE(app.blinkTimerRunning());
    ASSERT_TRUE(visible(app.title()));

    app.sim.userLeaves();
    app.sim.runFor(65.0);
    ASSERT_FALSE(app.blinkTimerRunning());
    app.item().clearTitles();
    app.sim.runFor(1.0);
    ASSERT_TRUE(app.blinkTimerRunning());
    EXPECT_EQ(invisible(app.title()), c.endsInvisible);
  }
}

TEST_F(BlinkTest, FailingProbeNeverBlinksAndReportsAtEveryTick) {
  app.sim.setIdleLookup({platform::IdleLookup::Outcome::noServices, {}});
  app.sim.runFor(300.0);
  EXPECT_FALSE(app.blinkTimerRunning());
  EXPECT_EQ(app.sim.messages().size(), 300u);
  EXPECT_EQ(app.sim.messages().front(), "Error accessing IOHIDSystem");
}

}  // namespace
