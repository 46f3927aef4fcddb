// The menu bar's duration colour, from the label colour and system red AppKit resolves in the
// drawing appearance, as plain C++.
#include <gtest/gtest.h>

#include "platform/macos/MenuBarColor.h"

using platform::Color;
using platform::contrastRatio;
using platform::DrawnColor;
using platform::Rgba;
using platform::macos::menuBarColor;

namespace {

Color coreColor(int minutes) {
  return Color::colorWithCalibratedHueSaturationBrightnessAlpha(0.0, 1.0, (minutes - 10) / 5.0,
                                                                1.0);
}

struct Appearance {
  const char* name;
  Rgba label, systemRed, background;
};

// labelColor and systemRedColor as macOS resolves them in sRGB, and the menu bar beneath.
const Appearance kAppearances[] = {
    {"dark", {1, 1, 1, 0.85}, {1, 69 / 255.0, 58 / 255.0, 1}, {0, 0, 0, 1}},
    {"light", {0, 0, 0, 0.85}, {1, 59 / 255.0, 48 / 255.0, 1}, {1, 1, 1, 1}},
};

TEST(MenuBarColor, FromTheLabelColourToTheSystemRedReadableInEitherAppearance) {
  for (const Appearance& a : kAppearances) {
    SCOPED_TRACE(a.name);
    EXPECT_EQ(menuBarColor(coreColor(10), a.label, a.systemRed).kind, DrawnColor::Kind::barText);
    EXPECT_EQ(menuBarColor(Color::blackColor(), a.label, a.systemRed).kind,
              DrawnColor::Kind::barText);
    EXPECT_EQ(menuBarColor(Color::clearColor(), a.label, a.systemRed).kind,
              DrawnColor::Kind::clear);
    EXPECT_EQ(menuBarColor(coreColor(15), a.label, a.systemRed).rgba, a.systemRed);
    EXPECT_EQ(menuBarColor(coreColor(40), a.label, a.systemRed).rgba, a.systemRed);
    const Rgba m13 = menuBarColor(coreColor(13), a.label, a.systemRed).rgba;
    EXPECT_NEAR(m13.red, 0.4 * a.label.red + 0.6 * a.systemRed.red, 1e-12);
    EXPECT_NEAR(m13.green, 0.4 * a.label.green + 0.6 * a.systemRed.green, 1e-12);
    EXPECT_NEAR(m13.alpha, 0.4 * a.label.alpha + 0.6, 1e-12);
    for (int minutes = 11; minutes <= 16; ++minutes) {
      const DrawnColor d = menuBarColor(coreColor(minutes), a.label, a.systemRed);
      ASSERT_EQ(d.kind, DrawnColor::Kind::rgb);
      EXPECT_GE(contrastRatio(d.rgba, a.background), 3.0) << minutes;
    }
  }
}

}  // namespace
