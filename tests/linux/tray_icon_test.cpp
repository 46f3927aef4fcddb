// The tray icon and label drawn from a title: short forms, pixmap layout and byte order, the
// badge that keeps black text readable on dark panels, and hidden frames that keep their size.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Titles.h"
#include "platform/linux/tray/TrayIcon.h"

using platform::AttributedString;
using platform::Color;
using platform::Rgba;
using namespace platform::linux_backend;

namespace {

using testing_support::title;

struct Pixel {
  int a, r, g, b;
};

Pixel at(const TrayPixmap& p, int x, int y) {
  const auto* q = &p.argb[(static_cast<std::size_t>(y) * p.width + x) * 4];
  return {q[0], q[1], q[2], q[3]};
}

int count(const TrayPixmap& p, auto predicate) {
  int n = 0;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) n += predicate(at(p, x, y)) ? 1 : 0;
  }
  return n;
}

bool opaqueRed(Pixel p) { return p.a == 255 && p.r > 180 && p.g < 70 && p.b < 70; }
bool opaqueDark(Pixel p) { return p.a == 255 && p.r < 70 && p.g < 70 && p.b < 70; }
bool opaqueLight(Pixel p) { return p.a == 255 && p.r > 230 && p.g > 230 && p.b > 230; }

TEST(TrayIcon, ShortFormOfEveryKindOfLabel) {
  EXPECT_EQ(shortDuration("< 1 minute"), "<1");
  EXPECT_EQ(shortDuration("1 minute"), "1");
  EXPECT_EQ(shortDuration("59 minutes"), "59");
  EXPECT_EQ(shortDuration("1 hour"), "1h");
  EXPECT_EQ(shortDuration("596523 hours"), "596523h");
  EXPECT_EQ(shortDuration("soon"), "soo");  // anything else: its start, never nothing

  const TrayIconFace face = trayIconFace(title("12 minutes", Color::blackColor()));
  EXPECT_EQ(face.text, "12");
  EXPECT_EQ(face.color, (Rgba{0, 0, 0, 1}));
  EXPECT_FALSE(face.transparent);
  // The duration's colour, not the prefix's (which has none).
  const Color red = Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, 0.6, 1);
  EXPECT_EQ(trayIconFace(title("13 minutes", red)).color, red.rgba());
  // Two titles a second apart draw the same icon.
  EXPECT_EQ(trayIconFace(title("3 hours", red)), trayIconFace(title("3 hours", red)));
}

TEST(TrayIcon, EverySizeAsStraightArgbInNetworkOrder) {
  const std::vector<TrayPixmap> icon =
      renderTrayIcon({.text = "12", .color = {1, 0, 0, 1}, .transparent = false});
  ASSERT_EQ(icon.size(), std::size(kTrayIconSizes));
  for (std::size_t i = 0; i < icon.size(); ++i) {
    const TrayPixmap& p = icon[i];
    SCOPED_TRACE(p.width);
    EXPECT_EQ(p.width, kTrayIconSizes[i]);
    EXPECT_EQ(p.height, p.width);
    ASSERT_EQ(p.argb.size(), static_cast<std::size_t>(p.width * p.height * 4));
    // Red text: alpha first, then red. Little-endian words would put 0xff last and blue first.
    EXPECT_GT(count(p, opaqueRed), p.width / 2);
    // Not premultiplied: the rounded rim's soft edge keeps the rim's grey whatever its alpha,
    // where premultiplied bytes would darken toward black as the alpha falls.
    const auto soft = [](Pixel q) { return q.a > 0 && q.a < 160; };
    EXPECT_GT(count(p, soft), 0);
    EXPECT_EQ(count(p, [&](Pixel q) { return soft(q) && q.r < 30; }), 0);
    // Rounded: the corners show the panel through.
    EXPECT_EQ(at(p, 0, 0).a, 0);
    EXPECT_EQ(at(p, p.width - 1, p.height - 1).a, 0);
  }
}

TEST(TrayIcon, BlackTextSitsOnALightOpaqueBadgeThatReadsOnAnyPanel) {
  for (const TrayPixmap& p :
       renderTrayIcon({.text = "<1", .color = {0, 0, 0, 1}, .transparent = false})) {
    SCOPED_TRACE(p.width);
    EXPECT_GT(count(p, opaqueDark), p.width / 2);   // the text
    EXPECT_GT(count(p, opaqueLight), p.width * 2);  // the badge around it
    // The middle of the icon hides the panel entirely, so the text's background is the badge
    // whether the panel is black or white.
    for (int y = p.height / 4; y < p.height * 3 / 4; ++y) {
      for (int x = p.width / 4; x < p.width * 3 / 4; ++x) ASSERT_EQ(at(p, x, y).a, 255);
    }
  }
}

TEST(TrayIcon, ALongCountShrinksInsideTheBadge) {
  for (const TrayPixmap& p :
       renderTrayIcon({.text = "596523h", .color = {1, 0, 0, 1}, .transparent = false})) {
    SCOPED_TRACE(p.width);
    EXPECT_GT(count(p, [](Pixel q) { return q.a > 0 && q.r > 150 && q.g < 100; }), 0);
    for (int y = 0; y < p.height; ++y) {
      for (int x : {0, 1, p.width - 2, p.width - 1}) {
        const Pixel q = at(p, x, y);
        ASSERT_FALSE(q.a > 0 && q.r > 150 && q.g < 100) << x << "," << y;
      }
    }
  }
}

TEST(TrayIcon, HiddenFrameIsFullyTransparentAtTheSameSizes) {
  const TrayIconFace face = trayIconFace([] {
    AttributedString t = title("12 minutes");
    t.addAttributes({.foregroundColor = Color::clearColor()}, {0, t.length()});
    return t;
  }());
  EXPECT_TRUE(face.transparent);
  const std::vector<TrayPixmap> hidden = renderTrayIcon(face);
  ASSERT_EQ(hidden.size(), std::size(kTrayIconSizes));
  for (std::size_t i = 0; i < hidden.size(); ++i) {
    EXPECT_EQ(hidden[i].width, kTrayIconSizes[i]);
    EXPECT_EQ(hidden[i].argb.size(),
              static_cast<std::size_t>(hidden[i].width) * hidden[i].width * 4);
    EXPECT_TRUE(std::all_of(hidden[i].argb.begin(), hidden[i].argb.end(),
                            [](std::uint8_t b) { return b == 0; }));
  }
}

TEST(TrayIcon, BlankLabelIsSpacesAsWideAsTheTitle) {
  for (const std::string text :
       {"Time Sitting: < 1 minute", "Time Sitting: 12 minutes", "Time Sitting: 1 hour", "x"}) {
    SCOPED_TRACE(text);
    const std::string blank = blankOfWidth(text);
    ASSERT_FALSE(blank.empty());
    // Only whitespace code points: a host shows nothing, but keeps the label.
    const char* p = blank.c_str();
    while (*p) {
      const gunichar c = g_utf8_get_char(p);
      EXPECT_TRUE(g_unichar_isspace(c) || c == 0x200a) << std::hex << c;
      p = g_utf8_next_char(p);
    }
    const double want = textWidth(text), got = textWidth(blank);
    EXPECT_NEAR(got, want, want * 0.04);
  }
}

// Each way a fontconfig setup goes wrong gets the fonts from fontconfig's default places and
// one sentence naming what went wrong; the machine's own setup is taken as it is.
TEST(TrayFonts, ABrokenSetupFallsBackToTheDefaultPlacesAndSaysWhy) {
  char dir[] = "/tmp/tray-fonts-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string base = dir;
  const auto write = [](const std::string& path, const char* text) {
    ASSERT_TRUE(g_file_set_contents(path.c_str(), text, -1, nullptr)) << path;
  };
  write(base + "/open.conf", "<fontconfig><dir>");
  write(base + "/garbage.conf", "not xml at all");
  write(base + "/empty.conf", "");
  write(base + "/nofonts.conf", "<fontconfig><dir>/nonexistent-fonts</dir></fontconfig>");
  write(base + "/notadir.conf", "<fontconfig><dir>/etc/passwd</dir></fontconfig>");
  // Reading a FIFO would wait for a writer that never comes.
  ASSERT_EQ(mkfifo((base + "/fifo.conf").c_str(), 0600), 0);
  const char* old = g_getenv("FONTCONFIG_FILE");
  const std::string saved = old ? old : "";

  struct Case {
    std::string file, says;
  };
  const Case cases[] = {{base + "/missing.conf", "no fontconfig setup"},
                        {"missing-relative.conf", "no fontconfig setup"},
                        {base + "/open.conf", "broken"},
                        {base + "/garbage.conf", "broken"},
                        {base + "/empty.conf", "broken"},
                        {base + "/nofonts.conf", "finds no fonts"},
                        {base + "/notadir.conf", "finds no fonts"},
                        {base + "/fifo.conf", "not a file"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    g_setenv("FONTCONFIG_FILE", c.file.c_str(), TRUE);
    const TrayFontChoice choice = chooseTrayFonts();
    EXPECT_NE(choice.problem.find(c.says), std::string::npos) << choice.problem;
    EXPECT_NE(choice.problem.find(c.file), std::string::npos) << choice.problem;
    EXPECT_EQ(choice.problem.find('\n'), std::string::npos) << "one line";
    EXPECT_TRUE(choice.rules.empty()) << "the broken setup's rules kept: " << choice.rules;
    // This machine has fonts in the default places (the tray's tests need them).
    EXPECT_FALSE(choice.files.empty());
    EXPECT_NE(choice.problem.find("default places"), std::string::npos) << choice.problem;
  }

  g_unsetenv("FONTCONFIG_FILE");
  const TrayFontChoice desktop = chooseTrayFonts();
  EXPECT_EQ(desktop.problem, "");
  EXPECT_FALSE(desktop.rules.empty());
  EXPECT_FALSE(desktop.files.empty());
  g_setenv("FONTCONFIG_FILE", "", TRUE);  // set but empty: no name, the same setup
  EXPECT_EQ(chooseTrayFonts().rules, desktop.rules);

  if (old) {
    g_setenv("FONTCONFIG_FILE", saved.c_str(), TRUE);
  } else {
    g_unsetenv("FONTCONFIG_FILE");
  }
  for (const char* name : {"open", "garbage", "empty", "nofonts", "notadir", "fifo"}) {
    std::remove((base + "/" + name + ".conf").c_str());
  }
  rmdir(dir);
}

}  // namespace
