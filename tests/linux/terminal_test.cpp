// The terminal bar in-process: what it draws and how it reads the mouse.
#include <gtest/gtest.h>

#include <string>

#include "platform/linux/TerminalStatusItem.h"

using platform::AttributedString;
using platform::Color;
using platform::linux_backend::TerminalStatusItem;

namespace {

AttributedString title(std::string_view label, Color color) {
  AttributedString t("Time Sitting: ");
  AttributedString l(label);
  l.addAttributes({.font = platform::Font::boldSystemFontOfSize(0)}, {0, l.length()});
  l.addAttributes({.foregroundColor = color}, {0, l.length()});
  t.appendAttributedString(l);
  return t;
}

TEST(TerminalAnsi, BoldTrueColourAndDefaultForegroundForBlack) {
  EXPECT_EQ(TerminalStatusItem::ansi(title("< 1 minute", Color::blackColor())),
            "Time Sitting: \x1b[1m< 1 minute\x1b[0m");
  const Color red = Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 0.2, 1);
  EXPECT_EQ(TerminalStatusItem::ansi(title("11 minutes", red)),
            "Time Sitting: \x1b[1m\x1b[38;2;51;0;0m11 minutes\x1b[0m");
}

TEST(TerminalAnsi, TransparentTitleIsBlanksOfTheSameWidth) {
  AttributedString t = title("3 hours", Color::blackColor());
  t.addAttributes({.foregroundColor = Color::clearColor()}, {0, t.length()});
  EXPECT_EQ(TerminalStatusItem::ansi(t), std::string(t.length(), ' '));
}

struct Terminal : testing::Test {
  std::string out, err;
  double clock = 0;
  int clicks = 0, doubleClicks = 0;
  std::optional<TerminalStatusItem> item;

  Terminal() {
    item.emplace([this](std::string_view b) { return out += b, true; },
                 [this](std::string_view b) { return err += b, true; }, [this] { return clock; });
    item->setAction([this] { ++clicks; });
    item->setDoubleAction([this] { ++doubleClicks; });
  }
};

TEST_F(Terminal, SetsUpRedrawsInPlaceAndRestoresOnTeardown) {
  EXPECT_EQ(out, "\x1b[?25l\x1b[?1000h\x1b[?1006h\x1b[6n");
  out.clear();
  item->setAttributedTitle(title("< 1 minute", Color::blackColor()));
  EXPECT_EQ(out, "\rTime Sitting: \x1b[1m< 1 minute\x1b[0m\x1b[K");
  EXPECT_EQ(out.find('\n'), std::string::npos);
  out.clear();
  item.reset();
  EXPECT_EQ(out, "\x1b[0m\x1b[?1006l\x1b[?1000l\x1b[?25h\r\n");
}

TEST_F(Terminal, MessageGoesAboveTheLineWhichIsRedrawn) {
  item->setAttributedTitle(title("1 minute", Color::blackColor()));
  out.clear();
  item->writeMessageLine("Can't find idle time");
  EXPECT_EQ(err, "Can't find idle time\r\n");
  EXPECT_EQ(out, "\r\x1b[K\rTime Sitting: \x1b[1m1 minute\x1b[0m\x1b[K\x1b[6n");
}

TEST_F(Terminal, LeftPressOnTheLinesRowClicksAndTwoQuicklyDoubleClick) {
  // Before the row is known any row counts; afterwards only the line's own.
  item->consumeInput("\x1b[<0;3;9M");
  EXPECT_EQ(clicks, 1);
  clock += 1;
  item->consumeInput("\x1b[7;1R");  // the answer to the question asked at start
  item->consumeInput("\x1b[<0;3;9M\x1b[<0;3;9m");
  EXPECT_EQ(clicks, 1);
  item->consumeInput("\x1b[<0;3;7M\x1b[<0;3;7m");
  EXPECT_EQ(clicks, 2);
  clock += 0.2;
  item->consumeInput("\x1b[<0;20;7M");
  EXPECT_EQ(doubleClicks, 1);
}

TEST_F(Terminal, OtherInputIsIgnoredIncludingUnaskedPositionReports) {
  item->consumeInput("\x1b[7;1R");
  item->consumeInput("\x1b[1;2R");  // Shift-F3 on some terminals: not an answer we asked for
  item->consumeInput("\x1b[<0;3;1M");
  EXPECT_EQ(clicks, 0);
  clock += 1;
  const char* junk[] = {"hello",  "\x1b[<2;3;7M",           "\x1b[<0;3M", "\x1b[<64;3;7M",
                        "\x1bOP", "\x1b[<0;99999999999;7M", "\x1b[",      "\x03\x1a"};
  for (const char* j : junk) item->consumeInput(j);
  item->consumeInput(std::string(100, '\x1b') + "[<" + std::string(200, '1'));
  EXPECT_EQ(clicks, 0);
  // A report split across reads still counts once it is whole.
  item->consumeInput("\x1b[<0;");
  item->consumeInput("3;7M");
  EXPECT_EQ(clicks, 1);
}

}  // namespace
