// The duration label: its text and colour across the whole range of sitting times.
#include <gtest/gtest.h>

#include "SimApp.h"

using platform::AttributedString;
using platform::Color;
using testing_support::kPrefix;
using testing_support::SimApp;

namespace {

struct Label {
  std::string text;
  platform::Rgba color;
};

// What the first tick shows when the sitting period began `seconds` ago.
Label labelAfter(double seconds) {
  SimApp app;
  app.sim.shiftWallClock(seconds - 1.0);
  app.sim.runFor(1.0);
  const AttributedString& title = app.title();
  EXPECT_EQ(title.string().substr(0, kPrefix.size()), kPrefix);
  EXPECT_EQ(title.runs().size(), 2u);
  const auto& label = title.runs().back();
  EXPECT_EQ(label.range.location, kPrefix.size());
  EXPECT_EQ(label.attributes.font, platform::Font::boldSystemFontOfSize(0.0));
  return {title.string().substr(kPrefix.size()), label.attributes.foregroundColor->rgba()};
}

constexpr platform::Rgba kBlack{0, 0, 0, 1};
constexpr platform::Rgba kPureRed{1, 0, 0, 1};
platform::Rgba red(double brightness) { return {brightness, 0, 0, 1}; }

TEST(DurationLabel, TextAndColourAtTheBoundaries) {
  struct Case {
    double seconds;
    std::string text;
    platform::Rgba color;
  };
  const Case cases[] = {
      {0, "< 1 minute", kBlack},     {59, "< 1 minute", kBlack},
      {60, "1 minute", kBlack},      {119, "1 minute", kBlack},
      {120, "2 minutes", kBlack},    {599, "9 minutes", kBlack},
      {600, "10 minutes", kBlack},   {659, "10 minutes", kBlack},
      {660, "11 minutes", red(0.2)}, {720, "12 minutes", red(0.4)},
      {780, "13 minutes", red(0.6)}, {840, "14 minutes", red(0.8)},
      {899, "14 minutes", red(0.8)}, {900, "15 minutes", kPureRed},
      {960, "16 minutes", kPureRed}, {3599, "59 minutes", kPureRed},
      {3600, "1 hour", kPureRed},    {7199, "1 hour", kPureRed},
      {7200, "2 hours", kPureRed},   {86400 * 3, "72 hours", kPureRed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    const Label label = labelAfter(c.seconds);
    EXPECT_EQ(label.text, c.text);
    EXPECT_NEAR(label.color.red, c.color.red, 1e-9);
    EXPECT_EQ(label.color.green, 0);
    EXPECT_EQ(label.color.blue, 0);
    EXPECT_EQ(label.color.alpha, 1);
  }
}

TEST(DurationLabel, StartInTheFutureReadsAsUnderAMinuteInBlack) {
  for (double back : {-1.5, -61.0, -86400.0 * 365}) {
    const Label label = labelAfter(back);
    EXPECT_EQ(label.text, "< 1 minute");
    EXPECT_EQ(label.color, kBlack);
  }
}

TEST(DurationLabel, SecondsTruncateTowardZeroAndSaturateFarOut) {
  SimApp app;
  app.sim.spendTime(0.75);
  EXPECT_EQ(app.delegate().secondsSitting(), 0);
  app.sim.shiftWallClock(59.2);
  EXPECT_EQ(app.delegate().secondsSitting(), 59);
  app.sim.shiftWallClock(-60.0);
  EXPECT_EQ(app.delegate().secondsSitting(), 0);  // -0.05 s
  app.sim.shiftWallClock(-1.0);
  EXPECT_EQ(app.delegate().secondsSitting(), -1);

  // A clock set a century away does not overflow the count.
  app.sim.shiftWallClock(-100.0 * 365 * 86400);
  EXPECT_EQ(app.delegate().secondsSitting(), INT32_MIN);
  EXPECT_EQ(app.delegate().durationSitting().string(), "< 1 minute");
  app.sim.shiftWallClock(200.0 * 365 * 86400);
  EXPECT_EQ(app.delegate().secondsSitting(), INT32_MAX);
  EXPECT_EQ(app.delegate().durationSitting().string(), "596523 hours");
}

TEST(DurationLabel, PluralizeTakesTheSingularOnlyForOne) {
  EXPECT_EQ(ZQAppDelegate::pluralize("a", "b", 1), "a");
  for (int n : {0, 2, -1, INT32_MIN}) EXPECT_EQ(ZQAppDelegate::pluralize("a", "b", n), "b");
}

TEST(DurationLabel, TransparencyReplacesEveryColourOfTheTitle) {
  AttributedString title(kPrefix);
  AttributedString label("3 hours");
  ZQAppDelegate::makeBold(label);
  ZQAppDelegate::makeColor(label, Color::blackColor());
  title.appendAttributedString(label);
  ZQAppDelegate::makeTransparent(title);
  EXPECT_TRUE(testing_support::invisible(title));
  // The font stays: a transparent title keeps its width.
  EXPECT_EQ(title.runs().back().attributes.font, platform::Font::boldSystemFontOfSize(0.0));
}

}  // namespace
