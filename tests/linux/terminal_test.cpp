// The terminal bar in-process: what it draws and how it reads the mouse.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/linux/TerminalStatusItem.h"

using platform::AttributedString;
using platform::Color;
using platform::linux_backend::TerminalStatusItem;
using platform::linux_backend::TerminalTraits;
using platform::linux_backend::terminalTraits;

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

TEST(TerminalAnsi, CutToTheColumnsGivenWithItsSequencesClosed) {
  const Color red = Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 1, 1);
  const AttributedString t = title("11 minutes", red);
  EXPECT_EQ(TerminalStatusItem::ansi(t, {}, 19),
            "Time Sitting: \x1b[1m\x1b[38;2;255;0;0m11 mi\x1b[0m");
  // Cut inside the plain prefix, the styled run is not opened at all.
  EXPECT_EQ(TerminalStatusItem::ansi(t, {}, 4), "Time");
  EXPECT_EQ(TerminalStatusItem::ansi(t, {}, 0), "");
  AttributedString hidden = t;
  hidden.addAttributes({.foregroundColor = Color::clearColor()}, {0, hidden.length()});
  EXPECT_EQ(TerminalStatusItem::ansi(hidden, {}, 19), std::string(19, ' '));
  // Characters, not bytes, fill columns.
  AttributedString accented("Sitz: \xc3\xa4\xc3\xa4\xc3\xa4");
  EXPECT_EQ(TerminalStatusItem::ansi(accented, {}, 7), "Sitz: \xc3\xa4");
}

TEST(TerminalAnsi, NoColourKeepsBoldAndADumbTerminalGetsNoSequenceAtAll) {
  const Color red = Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 1, 1);
  const AttributedString t = title("11 minutes", red);
  EXPECT_EQ(TerminalStatusItem::ansi(t, terminalTraits("xterm", "1", true)),
            "Time Sitting: \x1b[1m11 minutes\x1b[0m");
  EXPECT_EQ(TerminalStatusItem::ansi(t, terminalTraits("dumb", nullptr, true)),
            "Time Sitting: 11 minutes");
}

TEST(TerminalTraitsFromEnvironment, DumbOrUnsetTermNoColourAndUnreadableAnswers) {
  struct Case {
    const char* term;
    const char* noColor;
    bool readable, sequences, colour, mouse;
  };
  const Case cases[] = {
      {"xterm-256color", nullptr, true, true, true, true},
      {"xterm-256color", "", true, true, true, true},  // set but empty means nothing
      {"xterm-256color", "1", true, true, false, true},
      {"screen", nullptr, false, true, true, false},
      {"dumb", nullptr, true, false, false, false},
      {"", nullptr, true, false, false, false},
      {nullptr, nullptr, true, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.term ? c.term : "(unset)") + " NO_COLOR=" +
                 (c.noColor ? c.noColor : "(unset)") + (c.readable ? " readable" : ""));
    const TerminalTraits t = terminalTraits(c.term, c.noColor, c.readable);
    EXPECT_EQ(t.sequences, c.sequences);
    EXPECT_EQ(t.colour, c.colour);
    EXPECT_EQ(t.mouse, c.mouse);
  }
}

struct Terminal : testing::Test {
  std::string out, err;
  double clock = 0;
  int clicks = 0, doubleClicks = 0, width = 100;
  std::optional<TerminalStatusItem> item;

  Terminal() { make({}); }

  void make(TerminalTraits traits) {
    item.reset();
    out.clear();
    err.clear();
    if (!traits.columns) traits.columns = [this] { return width; };
    item.emplace([this](std::string_view b) { return out += b, true; },
                 [this](std::string_view b) { return err += b, true; }, [this] { return clock; },
                 std::move(traits));
    item->setAction([this] { ++clicks; });
    item->setDoubleAction([this] { ++doubleClicks; });
  }
};

TEST_F(Terminal, SetsUpRedrawsInPlaceAndRestoresOnTeardown) {
  EXPECT_EQ(out, "\x1b[?25l\x1b[?1000h\x1b[?1006h\x1b[6n");
  out.clear();
  item->setAttributedTitle(title("< 1 minute", Color::blackColor()));
  // The cursor waits at the start of the line, everything after the line erased.
  EXPECT_EQ(out, "\rTime Sitting: \x1b[1m< 1 minute\x1b[0m\x1b[J\r");
  EXPECT_EQ(out.find('\n'), std::string::npos);
  out.clear();
  item.reset();
  // Mouse off before the last question, whose answer tells the bar nothing more is coming.
  EXPECT_EQ(out, "\x1b[0m\x1b[?25h\x1b[?1006l\x1b[?1000l\x1b[6n\r\n");
}

TEST_F(Terminal, MessageGoesAboveTheLineWhichIsRedrawn) {
  item->setAttributedTitle(title("1 minute", Color::blackColor()));
  out.clear();
  item->writeMessageLine("Can't find idle time");
  EXPECT_EQ(err, "Can't find idle time\r\n");
  EXPECT_EQ(out, "\r\x1b[J\rTime Sitting: \x1b[1m1 minute\x1b[0m\x1b[J\r\x1b[6n");
}

TEST_F(Terminal, LineNeverReachesTheLastColumnAndFollowsTheWidth) {
  width = 20;
  item->setAttributedTitle(title("1 minute", Color::blackColor()));
  EXPECT_TRUE(out.ends_with("\rTime Sitting: \x1b[1m1 min\x1b[0m\x1b[J\r")) << out;
  // A resize redraws at once at the new width (clearing a re-wrapped remainder below) and asks
  // for the row again, since re-wrapping moves lines.
  out.clear();
  width = 10;
  item->terminalResized();
  EXPECT_EQ(out, "\rTime Sitt\x1b[J\r\x1b[6n");
  // The width is read at every frame, so a frame drawn before the resize is noticed fits too.
  out.clear();
  width = 16;
  item->setAttributedTitle(title("2 minutes", Color::blackColor()));
  EXPECT_EQ(out, "\rTime Sitting: \x1b[1m2\x1b[0m\x1b[J\r");
  // A terminal that cannot tell its width is taken as 80 columns wide.
  out.clear();
  width = 0;
  item->setAttributedTitle(title(std::string(100, 'x'), Color::blackColor()));
  EXPECT_EQ(out, "\rTime Sitting: \x1b[1m" + std::string(79 - 14, 'x') + "\x1b[0m\x1b[J\r");
}

TEST_F(Terminal, WithoutReadableAnswersNeitherMouseNorQueriesAndInputIsNoClick) {
  make(terminalTraits("xterm", nullptr, false));
  EXPECT_EQ(out, "\x1b[?25l");
  item->setAttributedTitle(title("1 minute", Color::blackColor()));
  item->writeMessageLine("Can't find idle time");
  item->terminalResized();
  item->consumeInput("\x1b[<0;3;1M\x1b[<0;3;1m");
  EXPECT_EQ(clicks, 0);
  item.reset();
  EXPECT_EQ(out.find("\x1b[6n"), std::string::npos) << out;
  EXPECT_EQ(out.find("\x1b[?1000"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("\x1b[?25h\r\n")) << out;
}

TEST_F(Terminal, DumbTerminalGetsOnePlainLinePerNewCount) {
  make(terminalTraits("dumb", nullptr, true));
  const Color red = Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 1, 1);
  for (int second = 0; second < 3; ++second) {
    item->setAttributedTitle(title("< 1 minute", Color::blackColor()));
  }
  item->writeMessageLine("Can't find idle time");
  item->setAttributedTitle(title("15 minutes", red));
  AttributedString hidden = title("15 minutes", red);
  hidden.addAttributes({.foregroundColor = Color::clearColor()}, {0, hidden.length()});
  item->setAttributedTitle(hidden);  // a blink cannot be shown, and is no new count
  item->setAttributedTitle(title("15 minutes", red));
  item->terminalResized();
  item->consumeInput("\x1b[<0;3;1M");
  EXPECT_EQ(clicks, 0);
  item.reset();
  EXPECT_EQ(out, "Time Sitting: < 1 minute\nTime Sitting: 15 minutes\n");
  EXPECT_EQ(err, "Can't find idle time\n");
}

TEST_F(Terminal, SuspendGivesTheTerminalBackAndResumeTakesItAgain) {
  item->setAttributedTitle(title("1 minute", Color::blackColor()));
  item->consumeInput("\x1b[7;1R");
  out.clear();
  item->suspend();
  EXPECT_EQ(out, "\x1b[0m\x1b[?25h\x1b[?1006l\x1b[?1000l\x1b[6n\r\n");
  out.clear();
  // Stopped: nothing is drawn and nothing read counts.
  item->setAttributedTitle(title("2 minutes", Color::blackColor()));
  item->terminalResized();
  clock += 1;
  item->consumeInput("\x1b[<0;3;7M");
  EXPECT_EQ(out, "");
  EXPECT_EQ(clicks, 0);
  item->resume();
  EXPECT_EQ(
      out, "\x1b[?25l\x1b[?1000h\x1b[?1006h\x1b[6n\rTime Sitting: \x1b[1m2 minutes\x1b[0m\x1b[J\r");
  // The line is on a new row now; until the answer comes any row counts.
  item->consumeInput("\x1b[<0;3;9M");
  EXPECT_EQ(clicks, 1);
  out.clear();
  item.reset();
  EXPECT_TRUE(out.ends_with("\x1b[?25h\x1b[?1006l\x1b[?1000l\x1b[6n\r\n")) << out;
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
