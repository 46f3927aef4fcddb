// The terminal bar in-process: what it draws and how it reads the mouse.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Titles.h"
#include "platform/linux/GLibRunLoop.h"
#include "platform/linux/bars/TerminalStatusBar.h"
#include "platform/linux/bars/TerminalStatusItem.h"

using platform::AttributedString;
using platform::Color;
using platform::linux_backend::GLibRunLoop;
using platform::linux_backend::TerminalStatusBar;
using platform::linux_backend::TerminalStatusItem;
using platform::linux_backend::TerminalTraits;
using platform::linux_backend::terminalTraits;

namespace {

using testing_support::title;

constexpr std::string_view kAskColors = "\x1b]10;?\x1b\\\x1b]11;?\x1b\\";

TEST(TerminalAnsi, BoldTrueColourAndDefaultForegroundForBlack) {
  EXPECT_EQ(TerminalStatusItem::ansi(title("< 1 minute", Color::blackColor())),
            "Time Sitting: \x1b[1m< 1 minute\x1b[0m");
  const Color red = Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 0.2, 1);
  // A light terminal gets the core's own colours; one that has not told its colours, the
  // neutral ramp that reads on any.
  const platform::BarColors light{.text = platform::Rgba{0, 0, 0, 1},
                                  .backgrounds = {{1, 1, 1, 1}}};
  EXPECT_EQ(TerminalStatusItem::ansi(title("11 minutes", red), {}, std::string::npos, light),
            "Time Sitting: \x1b[1m\x1b[38;2;51;0;0m11 minutes\x1b[0m");
  EXPECT_EQ(TerminalStatusItem::ansi(title("11 minutes", red)),
            "Time Sitting: \x1b[1m\x1b[38;2;153;102;102m11 minutes\x1b[0m");
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
  EXPECT_EQ(out, "\x1b[?25l\x1b[?1000h\x1b[?1006h" + std::string(kAskColors) + "\x1b[6n");
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

TEST(TerminalOscColor, ReadsBothDigitCountsAndRejectsWhatIsNotAColourAnswer) {
  using platform::linux_backend::parseOscColor;
  const auto fg = parseOscColor("10;rgb:ffff/8080/0000");
  ASSERT_TRUE(fg);
  EXPECT_EQ(fg->which, 10);
  EXPECT_EQ(fg->color, (platform::Rgba{1, 0x8080 / 65535.0, 0, 1}));
  const auto bg = parseOscColor("11;rgb:ff/80/00");
  ASSERT_TRUE(bg);
  EXPECT_EQ(bg->which, 11);
  EXPECT_EQ(bg->color, (platform::Rgba{1, 0x80 / 255.0, 0, 1}));
  EXPECT_TRUE(parseOscColor("11;rgb:f/8/0"));
  for (const char* foreign : {"12;rgb:ffff/ffff/ffff", "10;?", "10;rgb:ffff/ffff", "10;rgb:",
                              "10;rgb:fffff/0/0", "10;rgb:ffff/ffff/ffff/ffff", "10;rgb:xx/00/00",
                              "10;rgba:ffff/ffff/ffff/ffff", "10;#ffffff", "52;c;aGk=", ""}) {
    SCOPED_TRACE(foreign);
    EXPECT_FALSE(parseOscColor(foreign));
  }
}

TEST_F(Terminal, ColourAnswersWithEitherTerminatorStartTheRampFromTheTerminalsForeground) {
  const Color red = Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 0.2, 1);
  // A dark terminal: white on black, one answer ended by ST, the other by BEL, in pieces.
  item->consumeInput("\x1b]10;rgb:ffff/ffff/ffff\x1b");
  item->consumeInput("\\\x1b]11;rgb:00/00/00\a");
  out.clear();
  item->setAttributedTitle(title("11 minutes", red));
  EXPECT_EQ(out, "\rTime Sitting: \x1b[1m\x1b[38;2;255;204;204m11 minutes\x1b[0m\x1b[J\r");
  // Up to ten minutes the terminal's own foreground, with no colour of ours.
  out.clear();
  item->setAttributedTitle(title("10 minutes", Color::blackColor()));
  EXPECT_EQ(out, "\rTime Sitting: \x1b[1m10 minutes\x1b[0m\x1b[J\r");
}

TEST_F(Terminal, WithoutColourAnswersBeforeTheCursorsTheNeutralRampAndNoLateOnesTaken) {
  const Color red = Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 0.2, 1);
  const std::string neutral =
      "\rTime Sitting: \x1b[1m\x1b[38;2;153;102;102m11 minutes\x1b[0m\x1b[J\r";
  // Only the cursor position comes back (tmux): the questions went unanswered.
  item->consumeInput("\x1b[5;1R");
  item->consumeInput("\x1b]10;rgb:ffff/ffff/ffff\x1b\\\x1b]11;rgb:0000/0000/0000\x1b\\");
  out.clear();
  item->setAttributedTitle(title("11 minutes", red));
  EXPECT_EQ(out, neutral);

  // A foreground alone, a truncated background and a foreign command: still nothing known, and
  // the click that follows them is still read.
  make({});
  item->consumeInput("\x1b]10;rgb:0000/0000/0000\x1b\\");
  item->consumeInput("\x1b]11;rgb:ffff/ff");
  item->consumeInput("\x1b[<0;3;1M");
  EXPECT_EQ(clicks, 1);
  item->consumeInput("\x1b]52;c;" + std::string(200, 'A') + "\a");
  item->consumeInput("\x1b[<0;3;1M");
  EXPECT_EQ(doubleClicks, 1);
  out.clear();
  item->setAttributedTitle(title("11 minutes", red));
  EXPECT_EQ(out, neutral);

  // With NO_COLOR nothing is asked.
  make(terminalTraits("xterm", "1", true));
  EXPECT_EQ(out.find("\x1b]1"), std::string::npos) << out;
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
  EXPECT_EQ(out, "\x1b[?25l\x1b[?1000h\x1b[?1006h" + std::string(kAskColors) +
                     "\x1b[6n\rTime Sitting: \x1b[1m2 minutes\x1b[0m\x1b[J\r");
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

// The bar on a real pseudo-terminal, as standard input and output have it in a terminal. A
// thread plays the terminal emulator on the other side: it keeps what the bar writes and
// answers each cursor position question. What the test itself prints while the descriptors are
// swapped lands there too, so a failing test shows it afterwards.
class PtyTerminal : public testing::Test {
 protected:
  void SetUp() override {
    const winsize size{24, 100, 0, 0};
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, &size), 0);
    ASSERT_EQ(tcgetattr(slave_, &found_), 0);
    saveEnv("TERM", "xterm-256color");
    saveEnv("NO_COLOR", nullptr);
    std::fflush(stdout);
    savedIn_ = dup(STDIN_FILENO);
    savedOut_ = dup(STDOUT_FILENO);
    dup2(slave_, STDIN_FILENO);
    dup2(slave_, STDOUT_FILENO);
    emulator_ = std::thread([this] { emulate(); });
  }

  void TearDown() override {
    std::fflush(stdout);
    stop_ = true;
    emulator_.join();
    dup2(savedIn_, STDIN_FILENO);
    dup2(savedOut_, STDOUT_FILENO);
    for (int fd : {savedIn_, savedOut_, slave_, master_}) close(fd);
    for (const auto& [name, value] : savedEnv_) {
      value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
    if (HasFailure())
      std::printf("The terminal got: %s\n", testing::PrintToString(shown()).c_str());
  }

  void saveEnv(const char* name, const char* value) {
    const char* old = std::getenv(name);
    savedEnv_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    value ? setenv(name, value, 1) : unsetenv(name);
  }

  void emulate() {
    std::string scanned;  // what has come and is not yet answered, for questions split in two
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      {
        std::lock_guard lock(mutex_);
        shown_.append(buffer, static_cast<std::size_t>(n));
      }
      scanned.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t at; (at = scanned.find("\x1b[6n")) != std::string::npos;) {
        scanned.erase(0, at + 4);
        send("\x1b[3;1R");
      }
      if (scanned.size() > 3) scanned.erase(0, scanned.size() - 3);
    }
  }

  void send(std::string_view bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  std::string shown() {
    std::lock_guard lock(mutex_);
    return shown_;
  }

  void forget() {
    std::lock_guard lock(mutex_);
    shown_.clear();
  }

  // Whether what the terminal got ends with `text`, once it has come.
  bool endsSoon(std::string_view text) {
    return runUntil([&] { return shown().ends_with(text); });
  }

  termios mode() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now;
  }

  // Runs the default main context until `done` or a few seconds.
  template <class Done>
  bool runUntil(Done done) {
    const double deadline = GLibRunLoop::monotonicNow() + 5;
    while (!done() && GLibRunLoop::monotonicNow() < deadline) {
      if (!g_main_context_iteration(nullptr, FALSE)) usleep(2000);
    }
    return done();
  }

  bool showsSoon(std::string_view text) {
    return runUntil([&] { return shown().find(text) != std::string::npos; });
  }

  // Nothing left on the terminal's input for the shell to read as typed text.
  bool inputEmpty() const {
    pollfd p{slave_, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
  }

  int master_ = -1, slave_ = -1, savedIn_ = -1, savedOut_ = -1;
  termios found_{};
  std::atomic<bool> stop_{false};
  std::thread emulator_;
  std::mutex mutex_;
  std::string shown_;
  std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv_;
};

bool sameMode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// The terminal's own output processing turns the last \n into \r\n.
constexpr std::string_view kGivenBack = "\x1b[0m\x1b[?25h\x1b[?1006l\x1b[?1000l\x1b[6n\r\r\n";

TEST_F(PtyTerminal, TakesTheTerminalReadsClicksCutsToItsWidthAndGivesItBackAsFound) {
  int clicks = 0;
  {
    TerminalStatusBar bar;
    EXPECT_TRUE(bar.traits().mouse);
    const termios taken = mode();
    EXPECT_FALSE(taken.c_lflag & (ICANON | ECHO));
    // Ctrl-C, Ctrl-\ and Ctrl-Z keep working: each ends or stops the program in order.
    EXPECT_TRUE(taken.c_lflag & ISIG);
    EXPECT_EQ(taken.c_cc[VSUSP], found_.c_cc[VSUSP]);
    EXPECT_EQ(taken.c_cc[VQUIT], found_.c_cc[VQUIT]);

    const winsize narrow{24, 20, 0, 0};
    ioctl(master_, TIOCSWINSZ, &narrow);
    std::unique_ptr<platform::StatusItem> item = bar.statusItemWithLength(-1);
    item->setAction([&] { ++clicks; });
    item->setAttributedTitle(title("1 minute", Color::blackColor()));
    EXPECT_TRUE(showsSoon("\rTime Sitting: \x1b[1m1 min\x1b[0m\x1b[J\r"));
    // The emulator put the line on row 3.
    ASSERT_TRUE(showsSoon("\x1b[6n"));
    usleep(50'000);
    send("\x1b[<0;3;3M\x1b[<0;3;3m");
    EXPECT_TRUE(runUntil([&] { return clicks == 1; }));
    // A report still on its way when the program ends must not reach the shell.
    send("\x1b[<0;4;3M");
    item.reset();
  }
  EXPECT_TRUE(sameMode(mode(), found_));
  EXPECT_TRUE(endsSoon(kGivenBack));
  EXPECT_TRUE(inputEmpty());
}

TEST_F(PtyTerminal, StopGivesTheTerminalBackAndContinueTakesItAgain) {
  termios whileStopped{};
  bool gaveBack = false;
  int stops = 0;
  // While the program is stopped the user turns flow control off with stty.
  termios users = found_;
  users.c_iflag &= ~static_cast<tcflag_t>(IXON);
  {
    TerminalStatusBar bar([&] {
      ++stops;
      whileStopped = mode();
      gaveBack = endsSoon(kGivenBack);
      tcsetattr(slave_, TCSANOW, &users);
      forget();
    });
    std::unique_ptr<platform::StatusItem> item = bar.statusItemWithLength(-1);
    item->setAttributedTitle(title("1 minute", Color::blackColor()));
    ASSERT_TRUE(showsSoon("1 minute"));

    raise(SIGTSTP);
    ASSERT_TRUE(runUntil([&] { return stops == 1; }));
    EXPECT_TRUE(sameMode(whileStopped, found_));
    EXPECT_TRUE(gaveBack);
    // Going on, it takes the terminal again and redraws the line where the cursor is now.
    EXPECT_FALSE(mode().c_lflag & (ICANON | ECHO));
    EXPECT_TRUE(showsSoon("\x1b[?25l\x1b[?1000h\x1b[?1006h" + std::string(kAskColors) +
                          "\x1b[6n\rTime Sitting: "));

    // A stop it could not see (SIGSTOP), after which the shell put its own mode back: SIGCONT
    // alone takes the terminal again.
    tcsetattr(slave_, TCSANOW, &users);
    raise(SIGCONT);
    EXPECT_TRUE(runUntil([&] { return !(mode().c_lflag & ICANON); }));
    // A SIGCONT that finds the bar's own mode in place must not take that for the user's.
    raise(SIGCONT);
    for (int i = 0; i < 20; ++i) g_main_context_iteration(nullptr, FALSE);
    item.reset();
  }
  EXPECT_EQ(stops, 1);
  EXPECT_TRUE(sameMode(mode(), users));
  EXPECT_TRUE(inputEmpty());
}

TEST_F(PtyTerminal, EachEndingSignalEndsTheLoopAndTheTerminalIsGivenBack) {
  for (int signal : GLibRunLoop::terminationSignals()) {
    SCOPED_TRACE(strsignal(signal));
    bool ended = false;
    {
      GLibRunLoop loop;
      loop.onTerminationSignals([&] {
        ended = true;
        loop.runLoop().stop();
      });
      TerminalStatusBar bar;
      std::unique_ptr<platform::StatusItem> item = bar.statusItemWithLength(-1);
      item->setAttributedTitle(title("1 minute", Color::blackColor()));
      const guint guard = g_timeout_add_seconds(
          5,
          [](gpointer runLoop) {
            static_cast<platform::RunLoop*>(runLoop)->stop();
            return G_SOURCE_REMOVE;
          },
          &loop.runLoop());
      raise(signal);
      loop.run();
      if (ended) g_source_remove(guard);
      item.reset();
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(sameMode(mode(), found_));
    EXPECT_TRUE(endsSoon(kGivenBack));
    EXPECT_TRUE(inputEmpty());
    forget();
  }
}

TEST_F(PtyTerminal, StandardInputElsewhereLeavesMouseModeAndQueriesOff) {
  const int null = open("/dev/null", O_RDONLY);
  dup2(null, STDIN_FILENO);
  close(null);
  {
    TerminalStatusBar bar;
    EXPECT_FALSE(bar.traits().mouse);
    EXPECT_TRUE(bar.traits().sequences);
    std::unique_ptr<platform::StatusItem> item = bar.statusItemWithLength(-1);
    item->setAttributedTitle(title("1 minute", Color::blackColor()));
    EXPECT_TRUE(showsSoon("1 minute"));
    EXPECT_TRUE(sameMode(mode(), found_));
    item.reset();
  }
  EXPECT_TRUE(showsSoon("\x1b[?25h"));
  EXPECT_EQ(shown().find("\x1b[6n"), std::string::npos);
  EXPECT_EQ(shown().find("\x1b[?1000h"), std::string::npos);
  EXPECT_TRUE(sameMode(mode(), found_));
}

TEST_F(PtyTerminal, DumbTerminalGetsNoSequenceAndKeepsItsMode) {
  setenv("TERM", "dumb", 1);
  {
    TerminalStatusBar bar;
    EXPECT_FALSE(bar.traits().sequences);
    std::unique_ptr<platform::StatusItem> item = bar.statusItemWithLength(-1);
    item->setAttributedTitle(title("1 minute", Color::blackColor()));
    item->setAttributedTitle(title("1 minute", Color::blackColor()));
    EXPECT_TRUE(showsSoon("Time Sitting: 1 minute"));
    EXPECT_TRUE(sameMode(mode(), found_));
    item.reset();
  }
  usleep(50'000);
  EXPECT_EQ(shown(), "Time Sitting: 1 minute\r\n");  // the terminal's own \n -> \r\n
}

}  // namespace
