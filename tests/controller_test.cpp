// The controller on the simulated platform: launch, ticks, click and double-click.
#include <gtest/gtest.h>

#include <memory>

#include "SimApp.h"

using testing_support::kPrefix;
using testing_support::SimApp;

namespace {

TEST(Controller, LaunchPlacesAnEmptyItemAndTheFirstTickTitlesItOneSecondLater) {
  SimApp app;
  ASSERT_NE(app.sim.statusItem(), nullptr);
  EXPECT_TRUE(app.item().highlightMode());
  EXPECT_EQ(app.timers(), 1u);

  app.sim.runFor(0.999);
  EXPECT_FALSE(app.item().hasTitle());

  app.sim.runFor(0.001);
  ASSERT_EQ(app.item().titles().size(), 1u);
  EXPECT_EQ(app.text(), std::string(kPrefix) + "< 1 minute");
  // Only the label is styled; the prefix keeps the bar's own font and colour.
  const auto& runs = app.title().runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].range, (platform::Range{0, kPrefix.size()}));
  EXPECT_EQ(runs[0].attributes, platform::Attributes{});
  EXPECT_EQ(runs[1].attributes.font, platform::Font::boldSystemFontOfSize(0.0));
  EXPECT_EQ(runs[1].attributes.foregroundColor, platform::Color::blackColor());
}

TEST(Controller, RedrawsEverySecondAndCountsOnWithoutInput) {
  SimApp app;
  app.sim.runFor(125.0);
  const auto& titles = app.item().titles();
  ASSERT_EQ(titles.size(), 125u);
  for (std::size_t i = 0; i < titles.size(); ++i) EXPECT_DOUBLE_EQ(titles[i].at, i + 1.0);
  EXPECT_EQ(titles[58].text.string(), std::string(kPrefix) + "< 1 minute");
  EXPECT_EQ(titles[59].text.string(), std::string(kPrefix) + "1 minute");
  EXPECT_EQ(app.text(), std::string(kPrefix) + "2 minutes");
}

TEST(Controller, ClickRestartsTheCountAtOnceWithoutReschedulingTheTimer) {
  SimApp app;
  app.sim.runFor(20 * 60.0);
  ASSERT_EQ(app.text(), std::string(kPrefix) + "20 minutes");

  app.sim.spendTime(0.4);  // the click comes between two ticks
  app.item().click();
  EXPECT_EQ(app.text(), std::string(kPrefix) + "< 1 minute");
  EXPECT_EQ(app.title().runs().back().attributes.foregroundColor, platform::Color::blackColor());
  EXPECT_DOUBLE_EQ(app.item().titles().back().at, 1200.4);

  app.sim.runFor(1.0);
  const auto& titles = app.item().titles();
  EXPECT_DOUBLE_EQ(titles.back().at, 1201.0);  // still on the whole second
  EXPECT_EQ(app.timers(), 1u);

  // The count runs from the click, not from the tick after it.
  app.sim.runFor(59.0);
  EXPECT_EQ(app.text(), std::string(kPrefix) + "< 1 minute");
  app.sim.runFor(1.0);
  EXPECT_EQ(app.text(), std::string(kPrefix) + "1 minute");
}

TEST(Controller, DoubleClickTerminatesOnALaterPassThenTearsDown) {
  SimApp app;
  app.sim.runFor(3.0);
  app.sim.setIdleReading(70);
  app.sim.runFor(1.0);
  ASSERT_TRUE(app.blinkTimerRunning());

  app.item().doubleClick();
  // The handler has returned and nothing has ended yet; the first click restarted the count.
  EXPECT_FALSE(app.app->isTerminated());
  EXPECT_EQ(app.text(), std::string(kPrefix) + "< 1 minute");
  EXPECT_NE(app.sim.statusItem(), nullptr);

  const std::size_t titles = app.item().titlesSet();
  app.sim.runFor(10.0);
  EXPECT_TRUE(app.app->isTerminated());
  EXPECT_EQ(app.item().titlesSet(), titles);  // no tick after the termination
}

TEST(Controller, TeardownReleasesTheBlinkTimerBeforeTheStatusItem) {
  SimApp app;
  app.sim.setIdleReading(70);
  app.sim.runFor(1.0);
  std::weak_ptr<platform::Timer> blinkTimer;
  for (const auto& t : app.sim.runLoop().timers())
    if (t->timeInterval() == 0.3) blinkTimer = t;
  ASSERT_FALSE(blinkTimer.expired());

  // Only the run loop may still hold the blink timer when the item goes.
  long holdersAtItemRelease = -1;
  app.sim.setOnStatusItemDestroyed([&] { holdersAtItemRelease = blinkTimer.use_count(); });
  app.app.reset();
  EXPECT_EQ(holdersAtItemRelease, 1);
  EXPECT_EQ(app.sim.statusItem(), nullptr);
  EXPECT_EQ(app.timers(), 0u);
  EXPECT_TRUE(blinkTimer.expired());
}

TEST(Controller, TheWindowIsTheCallersAloneThroughTicksBlinksClicksAndTeardown) {
  SimApp app;
  EXPECT_EQ(app.delegate().window(), nullptr);  // the program makes no window of its own
  auto standIn = std::make_unique<long>(0);
  auto* w = reinterpret_cast<platform::Window*>(standIn.get());
  app.delegate().setWindow(w);
  // No tick, blink or click may write it (a click clears the blinking, not the controller).
  app.sim.userLeaves();
  app.sim.runFor(90.0);
  ASSERT_TRUE(app.blinkTimerRunning());
  app.item().click();
  app.sim.runFor(2.0);
  EXPECT_EQ(app.delegate().window(), w);
  // Unowned: the window may be gone before the controller, whose teardown must not touch it
  // (the sanitizer build sees any use).
  standIn.reset();
  app.app.reset();
}

}  // namespace
