// The duration's colour as each bar draws it: the ramp from the bar's own text colour, the
// neutral ramp where nothing tells that colour, and the floor of 3:1 against a known background.
#include <gtest/gtest.h>

#include <string>

#include "platform/BarColors.h"

using platform::BarColors;
using platform::blend;
using platform::Color;
using platform::contrastRatio;
using platform::drawnColor;
using platform::DrawnColor;
using platform::Rgba;

namespace {

constexpr Rgba kBlack{0, 0, 0, 1};
constexpr Rgba kWhite{1, 1, 1, 1};

// The core's colour at `minutes`, as the controller makes it.
Color coreColor(int minutes) {
  if (minutes < 1) return Color::blackColor();
  return Color::colorWithCalibratedHueSaturationBrightnessAlpha(0.0, 1.0, (minutes - 10) / 5.0,
                                                                1.0);
}

std::string describe(const DrawnColor& d) {
  if (d.kind == DrawnColor::Kind::barText) return "bar text";
  if (d.kind == DrawnColor::Kind::clear) return "clear";
  return "rgb(" + std::to_string(d.rgba.red) + ", " + std::to_string(d.rgba.green) + ", " +
         std::to_string(d.rgba.blue) + ")";
}

TEST(Contrast, WcagFiguresForKnownPairs) {
  EXPECT_NEAR(contrastRatio(kBlack, kWhite), 21.0, 1e-9);
  EXPECT_NEAR(contrastRatio(kWhite, kBlack), 21.0, 1e-9);
  EXPECT_NEAR(contrastRatio({1, 0, 0, 1}, kBlack), 5.252, 1e-3);
  EXPECT_NEAR(contrastRatio({1, 0, 0, 1}, kWhite), 3.998, 1e-3);
  // The figures of the unreadable count on a black bar: #330000, #660000, #990000.
  EXPECT_NEAR(contrastRatio({0.2, 0, 0, 1}, kBlack), 1.14, 0.01);
  EXPECT_NEAR(contrastRatio({0.4, 0, 0, 1}, kBlack), 1.56, 0.01);
  EXPECT_NEAR(contrastRatio({0.6, 0, 0, 1}, kBlack), 2.35, 0.01);
}

TEST(DrawnColor, BlackTextGivesTheCoresOwnColoursExactly) {
  const BarColors light{.text = kBlack, .backgrounds = {kWhite}};
  for (int minutes = 0; minutes <= 130; ++minutes) {
    SCOPED_TRACE(minutes);
    const DrawnColor d = drawnColor(coreColor(minutes), light);
    if (minutes <= 10) {
      EXPECT_EQ(d.kind, DrawnColor::Kind::barText) << describe(d);
    } else {
      ASSERT_EQ(d.kind, DrawnColor::Kind::rgb);
      EXPECT_EQ(d.rgba, coreColor(minutes).rgba());
    }
  }
}

TEST(DrawnColor, WhiteTextOnBlackRunsFromWhiteToRedReadableEveryMinute) {
  const BarColors dark{.text = kWhite, .backgrounds = {kBlack}};
  const Rgba want[] = {{1, 0.8, 0.8, 1}, {1, 0.6, 0.6, 1}, {1, 0.4, 0.4, 1},
                       {1, 0.2, 0.2, 1}, {1, 0, 0, 1},     {1, 0, 0, 1}};
  for (int minutes = 11; minutes <= 16; ++minutes) {
    SCOPED_TRACE(minutes);
    const DrawnColor d = drawnColor(coreColor(minutes), dark);
    ASSERT_EQ(d.kind, DrawnColor::Kind::rgb);
    const Rgba& w = want[minutes - 11];
    EXPECT_NEAR(d.rgba.red, w.red, 1e-12);
    EXPECT_NEAR(d.rgba.green, w.green, 1e-12);
    EXPECT_NEAR(d.rgba.blue, w.blue, 1e-12);
    EXPECT_GE(contrastRatio(d.rgba, kBlack), 3.0);
  }
  EXPECT_EQ(drawnColor(coreColor(10), dark).kind, DrawnColor::Kind::barText);
}

TEST(DrawnColor, WithoutTheBarsColoursTheNeutralRampReadsOnBlackAndOnWhite) {
  // Nothing known, or a text colour without the background it is read against.
  for (const BarColors& unknown : {BarColors{}, BarColors{.text = kWhite}}) {
    for (int minutes = 0; minutes <= 10; ++minutes) {
      EXPECT_EQ(drawnColor(coreColor(minutes), unknown).kind, DrawnColor::Kind::barText);
    }
    Rgba previous = platform::kNeutralStart;
    for (int minutes = 11; minutes <= 16; ++minutes) {
      SCOPED_TRACE(minutes);
      const DrawnColor d = drawnColor(coreColor(minutes), unknown);
      ASSERT_EQ(d.kind, DrawnColor::Kind::rgb);
      EXPECT_GE(contrastRatio(d.rgba, kBlack), 3.0) << describe(d);
      EXPECT_GE(contrastRatio(d.rgba, kWhite), 3.0) << describe(d);
      // Ever redder: more red, less of the rest.
      EXPECT_GE(d.rgba.red, previous.red);
      EXPECT_LE(d.rgba.green, previous.green);
      EXPECT_EQ(d.rgba.green, d.rgba.blue);
      previous = d.rgba;
    }
    EXPECT_EQ(previous, (Rgba{1, 0, 0, 1}));
  }
}

TEST(DrawnColor, NoMinuteBelowThreeToOneOnAnyKnownBackground) {
  // Backgrounds on which a plain blend to red would vanish: grey as luminous as red, red
  // itself, a dark red; also two backgrounds at once (a focused output's bar).
  const BarColors cases[] = {
      {.text = kBlack, .backgrounds = {{0.5, 0.5, 0.5, 1}}},
      {.text = kWhite, .backgrounds = {{1, 0, 0, 1}}},
      {.text = kWhite, .backgrounds = {{0.3, 0, 0, 1}}},
      {.backgrounds = {{0.5, 0.5, 0.5, 1}}},
      {.text = kWhite, .backgrounds = {kBlack, {0.2, 0.2, 0.4, 1}}},
  };
  for (const BarColors& bar : cases) {
    for (int minutes = 11; minutes <= 16; ++minutes) {
      SCOPED_TRACE(minutes);
      const DrawnColor d = drawnColor(coreColor(minutes), bar);
      ASSERT_EQ(d.kind, DrawnColor::Kind::rgb);
      for (const Rgba& background : bar.backgrounds) {
        EXPECT_GE(contrastRatio(d.rgba, background), 3.0) << describe(d);
      }
    }
  }
}

TEST(DrawnColor, HiddenFramesNoColourAndColoursOffTheRamp) {
  const BarColors dark{.text = kWhite, .backgrounds = {kBlack}};
  EXPECT_EQ(drawnColor(Color::clearColor(), dark).kind, DrawnColor::Kind::clear);
  EXPECT_EQ(drawnColor(std::nullopt, dark).kind, DrawnColor::Kind::barText);
  const Color green = Color::colorWithCalibratedHueSaturationBrightnessAlpha(1.0 / 3, 1, 1, 1);
  EXPECT_EQ(drawnColor(green, dark), (DrawnColor{DrawnColor::Kind::rgb, green.rgba()}));
}

TEST(DrawnColor, TheHostsOwnRedEndsTheRamp) {
  const Rgba systemRed{1, 69 / 255.0, 58 / 255.0, 1};
  const BarColors menuBar{.text = kWhite, .backgrounds = {kBlack}, .red = systemRed};
  EXPECT_EQ(drawnColor(coreColor(15), menuBar).rgba, systemRed);
  EXPECT_EQ(drawnColor(coreColor(13), menuBar).rgba, blend(kWhite, systemRed, 0.6));
}

}  // namespace
