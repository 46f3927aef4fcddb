// The i3bar protocol bar in-process: what it writes and how it reads click events.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "Titles.h"
#include "platform/linux/bars/BarOutput.h"
#include "platform/linux/bars/I3barStatusItem.h"

using nlohmann::json;
using platform::AttributedString;
using platform::BarColors;
using platform::Color;
using platform::Rgba;
using platform::linux_backend::I3barStatusItem;

namespace {

using testing_support::title;

Color red(double brightness) {
  return Color::colorWithCalibratedHueSaturationBrightnessAlpha(0, 1, brightness, 1);
}

struct I3bar : testing::Test {
  std::string out, err;
  bool outOpen = true;
  double clock = 100.0;
  int clicks = 0, doubleClicks = 0, closed = 0;
  I3barStatusItem item{[this](std::string_view b) { return outOpen && (out += b, true); },
                       [this](std::string_view b) { return err += b, true; },
                       [this] { return clock; }};

  I3bar() {
    item.setAction([this] { ++clicks; });
    item.setDoubleAction([this] { ++doubleClicks; });
    item.setOnOutputClosed([this] { ++closed; });
  }

  std::vector<std::string> lines() {
    std::vector<std::string> v;
    std::size_t at = 0;
    while (at < out.size()) {
      const std::size_t nl = out.find('\n', at);
      v.push_back(out.substr(at, nl - at));
      at = nl + 1;
    }
    return v;
  }
  static json blockOf(std::string line) {
    if (line.front() == ',') line.erase(0, 1);
    const json array = json::parse(line);
    EXPECT_EQ(array.size(), 1u);
    return array.at(0);
  }
};

TEST_F(I3bar, HeaderThenOneArrayPerChangeCommaLedAfterTheFirst) {
  EXPECT_EQ(out, "{\"version\":1,\"click_events\":true}\n[\n");
  item.setAttributedTitle(title("< 1 minute"));
  item.setAttributedTitle(title("< 1 minute"));  // nothing new to show
  item.setAttributedTitle(title("1 minute"));
  const auto l = lines();
  ASSERT_EQ(l.size(), 4u);
  EXPECT_EQ(l[2].front(), '[');
  EXPECT_EQ(l[3].front(), ',');
  const json first = blockOf(l[2]);
  EXPECT_EQ(first["name"], "sitting");
  EXPECT_EQ(first["markup"], "pango");
  EXPECT_EQ(first["full_text"], "Time Sitting: <span weight=\"bold\">&lt; 1 minute</span>");
  EXPECT_FALSE(first.contains("min_width"));
}

TEST_F(I3bar, MarkupEscapesTextAndWritesColoursAsBytes) {
  EXPECT_EQ(I3barStatusItem::pangoMarkup(AttributedString("a<b>&\"c'")),
            "a&lt;b&gt;&amp;&quot;c&apos;");
  // On a light bar with black text, the core's own ramp; on the default dark bar, from white.
  const BarColors light{.text = Rgba{0, 0, 0, 1}, .backgrounds = {{1, 1, 1, 1}}};
  const BarColors dark{.text = Rgba{1, 1, 1, 1}, .backgrounds = {{0, 0, 0, 1}}};
  const std::tuple<double, std::string, std::string> ramp[] = {
      {0.2, "#330000", "#ffcccc"}, {0.4, "#660000", "#ff9999"}, {0.6, "#990000", "#ff6666"},
      {0.8, "#cc0000", "#ff3333"}, {1.0, "#ff0000", "#ff0000"}, {9.8, "#ff0000", "#ff0000"},
  };
  for (const auto& [brightness, onLight, onDark] : ramp) {
    EXPECT_EQ(
        I3barStatusItem::pangoMarkup(title("11 minutes", red(brightness)), light),
        "Time Sitting: <span weight=\"bold\" foreground=\"" + onLight + "\">11 minutes</span>");
    EXPECT_EQ(
        I3barStatusItem::pangoMarkup(title("11 minutes", red(brightness)), dark),
        "Time Sitting: <span weight=\"bold\" foreground=\"" + onDark + "\">11 minutes</span>");
  }
  // Colours unknown: the neutral ramp, from grey.
  EXPECT_EQ(I3barStatusItem::pangoMarkup(title("11 minutes", red(0.2))),
            "Time Sitting: <span weight=\"bold\" foreground=\"#996666\">11 minutes</span>");
  // Black and a brightness below zero both leave the colour to the bar.
  EXPECT_EQ(I3barStatusItem::pangoMarkup(title("2 minutes", red(-1.6))),
            "Time Sitting: <span weight=\"bold\">2 minutes</span>");
  EXPECT_EQ(I3barStatusItem::pangoMarkup(title("x", std::nullopt)),
            "Time Sitting: <span weight=\"bold\">x</span>");
}

TEST_F(I3bar, TransparentTitleIsABlankOfTheVisibleWidth) {
  AttributedString hidden = title("12 minutes", red(0.4));
  hidden.addAttributes({.foregroundColor = Color::clearColor()}, {0, hidden.length()});
  const json block = I3barStatusItem::block(hidden);
  EXPECT_EQ(block["full_text"], " ");
  EXPECT_EQ(block["min_width"], "Time Sitting: <span weight=\"bold\">12 minutes</span>");

  // Visible, hidden, visible: each frame is a change and is written.
  item.setAttributedTitle(title("12 minutes", red(0.4)));
  item.setAttributedTitle(hidden);
  item.setAttributedTitle(title("12 minutes", red(0.4)));
  EXPECT_EQ(lines().size(), 5u);
}

TEST_F(I3bar, ButtonOneIsAClickAndASecondWithin400msADoubleClick) {
  item.consumeInput("[\n{\"name\":\"sitting\",\"button\":1,\"x\":5,\"y\":6}\n");
  EXPECT_EQ(clicks, 1);
  clock += 0.39;
  item.consumeInput(",{\"name\":\"sitting\",\"button\":1}\n");
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(doubleClicks, 1);
  // A third press starts a new pair; presses further apart are single clicks.
  clock += 0.1;
  item.consumeInput(",{\"name\":\"sitting\",\"button\":1}\n");
  clock += 0.41;
  item.consumeInput(",{\"name\":\"sitting\",\"button\":1}\n");
  EXPECT_EQ(clicks, 3);
  EXPECT_EQ(doubleClicks, 1);
}

TEST_F(I3bar, SwaybarSpacingAndEventsSplitAcrossReadsAreUnderstood) {
  item.consumeInput("[ { \"name\": \"sitting\", \"instance\": \"\", \"button\": 1, \"event\": 272");
  EXPECT_EQ(clicks, 0);
  item.consumeInput(", \"x\": 1 }\r\n");
  EXPECT_EQ(clicks, 1);
  clock += 5;
  item.consumeInput(" , {\"button\":1, \"name\" : \"sitting\"} ,\n");
  EXPECT_EQ(clicks, 2);
}

TEST_F(I3bar, AnythingElseIsIgnoredWithoutHarm) {
  const char* junk[] = {
      "",
      "]",
      "{",
      "not json at all",
      "{\"name\":\"sitting\",\"button\":3}",
      "{\"name\":\"sitting\",\"button\":\"1\"}",
      "{\"name\":\"sitting\",\"button\":1.5}",
      "{\"name\":\"other\",\"button\":1}",
      "{\"button\":1}",
      "{\"name\":1,\"button\":1}",
      "[1,2,3]",
      "\"sitting\"",
      "{\"name\":\"sitting\",\"button\":1",
      "\xff\xfe{\"name\":\"sitting\",\"button\":1}",
  };
  for (const char* line : junk) item.consumeInput(std::string(line) + "\n");
  EXPECT_EQ(clicks + doubleClicks, 0);
}

TEST_F(I3bar, OversizedLineIsDroppedWholeAndReadingGoesOn) {
  // A click event hidden at the end of a line past the limit must not count.
  std::string huge(I3barStatusItem::kMaxLine + 10, ' ');
  huge += "{\"name\":\"sitting\",\"button\":1}\n";
  item.consumeInput(huge);
  EXPECT_EQ(clicks, 0);
  item.consumeInput("{\"name\":\"sitting\",\"button\":1}\n");
  EXPECT_EQ(clicks, 1);
}

TEST_F(I3bar, FailedWriteClosesTheBarOnceAndStopsWriting) {
  item.setAttributedTitle(title("< 1 minute"));
  outOpen = false;
  item.setAttributedTitle(title("1 minute"));
  item.setAttributedTitle(title("2 minutes"));
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(item.outputClosed());
}

TEST_F(I3bar, MessagesGoToTheirOwnStreamAsLines) {
  item.writeMessageLine("Can't find idle time");
  EXPECT_EQ(err, "Can't find idle time\n");
  EXPECT_EQ(lines().size(), 2u);
}

}  // namespace

namespace {

// A bar that reads when the test lets it, behind the same queue as standard output.
struct SlowI3bar : testing::Test {
  std::string got;
  bool reading = false;
  platform::linux_backend::BarOutput output{
      [this](std::string_view b) -> std::optional<std::size_t> {
        if (!reading) return 0;
        got += b;
        return b.size();
      }};
  double clock = 0;
  std::unique_ptr<I3barStatusItem> item;

  void start() {
    item = std::make_unique<I3barStatusItem>([this](std::string_view b) { return output.write(b); },
                                             [](std::string_view) { return true; },
                                             [this] { return clock; });
    item->setFrameWriter([this](std::string_view f) { return output.writeFrame(f); },
                         [this] { return output.frameWaiting(); });
  }
  void read() {
    reading = true;
    output.flush();
    reading = false;
  }
  // The body read so far, closed, must be one JSON array of one-block arrays.
  std::vector<std::string> shownTitles() {
    const std::size_t header = got.find('\n');
    EXPECT_EQ(got.substr(0, header), "{\"version\":1,\"click_events\":true}");
    const json body = json::parse(got.substr(header + 1) + "]");
    std::vector<std::string> titles;
    for (const json& array : body) titles.push_back(array.at(0).at("full_text"));
    return titles;
  }
};

TEST_F(SlowI3bar, DroppedArraysLeaveValidJsonWithTheNewestTitle) {
  start();
  // The bar reads nothing until three titles have been set: only the third arrives, and as the
  // first array it has no comma.
  item->setAttributedTitle(title("1 minute"));
  item->setAttributedTitle(title("2 minutes"));
  item->setAttributedTitle(title("3 minutes"));
  read();
  EXPECT_EQ(shownTitles().size(), 1u);
  // Later arrays that replace each other keep the comma of the one they replace.
  item->setAttributedTitle(title("4 minutes"));
  item->setAttributedTitle(title("5 minutes"));
  read();
  item->setAttributedTitle(title("6 minutes"));
  read();
  const auto titles = shownTitles();
  ASSERT_EQ(titles.size(), 3u);
  EXPECT_NE(titles[0].find("3 minutes"), std::string::npos);
  EXPECT_NE(titles[1].find("5 minutes"), std::string::npos);
  EXPECT_NE(titles[2].find("6 minutes"), std::string::npos);
}

}  // namespace
