// The bar's colours from the window manager's IPC: the framing, the replies as i3 and sway send
// them, which bar is the program's, and the query against a socket of the test's own on GLib's
// loop, answering, stalling or talking nonsense.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/GLibRunLoop.h"
#include "platform/linux/bars/I3barColors.h"

using platform::BarColors;
using platform::Rgba;
using platform::linux_backend::I3barColorsQuery;
using namespace platform::linux_backend::i3ipc;

namespace {

constexpr Rgba kBlack{0, 0, 0, 1};
constexpr Rgba kWhite{1, 1, 1, 1};

// A bar configuration as sway 1.7 sends it (every colour set, with alpha).
std::string swayBar(const std::string& id, const std::string& command,
                    const std::string& background, const std::string& statusline) {
  return R"({ "id": ")" + id + R"(", "mode": "dock", "hidden_state": "hide", "position": "bottom",
    "status_command": ")" +
         command + R"(", "font": "monospace 10", "gaps": { "top": 0 },
    "bar_height": 0, "pango_markup": false, "colors": { "background": ")" +
         background + R"(", "statusline": ")" + statusline + R"(", "separator": "#666666ff",
    "focused_background": ")" +
         background + R"(", "focused_statusline": ")" + statusline +
         R"(", "focused_workspace_bg": "#285577ff", "urgent_workspace_bg": "#900000ff" },
    "tray_padding": 2 })";
}

TEST(I3ipcMessages, FramedBothWaysInPiecesAndBrokenByAnythingElse) {
  const std::string two =
      encode(kGetBarConfig, "[\"bar-0\"]") + encode(kBarconfigUpdateEvent, "{}");
  MessageReader reader;
  std::vector<Message> got;
  for (char c : two) {
    reader.feed(std::string_view(&c, 1));
    while (auto m = reader.next()) got.push_back(*m);
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].type, kGetBarConfig);
  EXPECT_EQ(got[0].payload, "[\"bar-0\"]");
  EXPECT_EQ(got[1].type, kBarconfigUpdateEvent);
  EXPECT_FALSE(reader.broken());

  MessageReader garbage;
  garbage.feed("HTTP/1.1 400");
  EXPECT_FALSE(garbage.next());
  EXPECT_TRUE(garbage.broken());
  MessageReader shortGarbage;  // found out before a whole header has come
  shortGarbage.feed("i3-x");
  EXPECT_FALSE(shortGarbage.next());
  EXPECT_TRUE(shortGarbage.broken());
  MessageReader huge;
  std::string header = encode(kGetBarConfig, "");
  const std::uint32_t length = MessageReader::kMaxPayload + 1;
  std::memcpy(header.data() + 6, &length, sizeof length);
  huge.feed(header);
  EXPECT_FALSE(huge.next());
  EXPECT_TRUE(huge.broken());
}

TEST(I3ipcReplies, BarIdsAndConfigurationsAsI3AndSwaySendThem) {
  EXPECT_EQ(parseBarIds(R"([ "bar-0", "bar-1" ])"), (std::vector<std::string>{"bar-0", "bar-1"}));
  EXPECT_EQ(parseBarIds("[]"), std::vector<std::string>{});
  for (const char* bad : {"", "[", "{\"id\":\"bar-0\"}", "[1]", "null", "\xff\xfe"}) {
    EXPECT_FALSE(parseBarIds(bad)) << bad;
  }

  const auto dark = parseBarConfig(swayBar("bar-0", "sitting-timer", "#000000ff", "#ffffffff"));
  ASSERT_TRUE(dark);
  EXPECT_EQ(dark->id, "bar-0");
  EXPECT_EQ(dark->statusCommand, "sitting-timer");
  EXPECT_EQ(dark->colors, (BarColors{.text = kWhite, .backgrounds = {kBlack}}));
  const auto light = parseBarConfig(swayBar("bar-1", "x", "#ffffff", "#000000"));
  ASSERT_TRUE(light);
  EXPECT_EQ(light->colors, (BarColors{.text = kBlack, .backgrounds = {kWhite}}));

  // i3 leaves out the colours the configuration does not set: the bars' white on black.
  for (const char* unset : {R"({"id": "bar-0", "colors": {}})", R"({"id": "bar-0"})",
                            R"({"id": "bar-0", "colors": "none"})",
                            R"({"id": "bar-0", "colors": {"statusline": "white"}})"}) {
    const auto config = parseBarConfig(unset);
    ASSERT_TRUE(config) << unset;
    EXPECT_EQ(config->colors, (BarColors{.text = kWhite, .backgrounds = {kBlack}})) << unset;
  }
  // A translucent bar: what lies beneath is unknown, so nothing is.
  const auto translucent = parseBarConfig(swayBar("b", "x", "#00000080", "#ffffffff"));
  ASSERT_TRUE(translucent);
  EXPECT_EQ(translucent->colors, BarColors{});
  // The focused output's bar in other colours: both backgrounds; two texts start no ramp.
  const auto focused = parseBarConfig(
      R"({"id": "b", "colors": {"background": "#000000", "statusline": "#ffffff",
          "focused_background": "#ffffff", "focused_statusline": "#000000"}})");
  ASSERT_TRUE(focused);
  EXPECT_EQ(focused->colors, (BarColors{.backgrounds = {kBlack, kWhite}}));

  for (const char* bad : {"", "garbage", "[]", R"({"colors": {}})", R"({"id": 7})", "{\"id\":"}) {
    EXPECT_FALSE(parseBarConfig(bad)) << bad;
  }
  EXPECT_EQ(parseHexColor("#ff8000"), (Rgba{1, 128 / 255.0, 0, 1}));
  EXPECT_EQ(parseHexColor("#ff800080"), (Rgba{1, 128 / 255.0, 0, 128 / 255.0}));
  for (const char* bad : {"", "#fff", "ff8000", "#ff80zz", "#ff8000f", " #ff8000"}) {
    EXPECT_FALSE(parseHexColor(bad)) << bad;
  }
}

TEST(I3ipcReplies, TheProgramsBarByAncestorThenByCommandThenTheOnlyOne) {
  EXPECT_EQ(barIdsInCommandLine({"i3bar", "--bar_id=bar-1", "--socket=/run/i3"}),
            std::vector<std::string>{"bar-1"});
  EXPECT_EQ(barIdsInCommandLine({"swaybar", "-b", "bar-0"}), std::vector<std::string>{"bar-0"});
  EXPECT_EQ(barIdsInCommandLine({"i3bar", "--bar_id", "top"}), std::vector<std::string>{"top"});
  EXPECT_TRUE(barIdsInCommandLine({"sh", "-c", "sitting-timer -b"}).empty());

  std::vector<BarConfig> bars = {{"bar-0", "i3status", {}},
                                 {"bar-1", "sitting-timer", {}},
                                 {"bar-2", "/usr/bin/sitting-timer --verbose", {}}};
  EXPECT_EQ(chooseBar(bars, {"bar-2"}, "sitting-timer"), 2u);
  EXPECT_EQ(chooseBar(bars, {"nope", "bar-0"}, "sitting-timer"), 0u);
  // Two bars run it and nothing says which: unknown.
  EXPECT_EQ(chooseBar(bars, {}, "sitting-timer"), std::nullopt);
  bars.pop_back();
  EXPECT_EQ(chooseBar(bars, {}, "sitting-timer"), 1u);
  EXPECT_EQ(chooseBar(bars, {}, "other-name"), std::nullopt);
  EXPECT_EQ(chooseBar({{"only", "python3 tap.py", {}}}, {}, "sitting-timer"), 0u);
  EXPECT_EQ(chooseBar({}, {}, "sitting-timer"), std::nullopt);
}

// A window manager's IPC socket, played by a thread of the test.
class FakeWindowManager {
 public:
  enum class Mode { answer, silent, garbage, hangUp };

  explicit FakeWindowManager(Mode mode) : mode_(mode) {
    char dir[] = "/tmp/i3ipc-test-XXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/ipc.sock";
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 4), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeWindowManager() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    if (client_ >= 0) shutdown(client_, SHUT_RDWR);
    thread_.join();
    close(listener_);
    if (client_ >= 0) close(client_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }
  // Sends a barconfig_update event once the query has been answered.
  void sendEvent(const std::string& payload) {
    const std::string m = encode(kBarconfigUpdateEvent, payload);
    EXPECT_EQ(write(client_, m.data(), m.size()), static_cast<ssize_t>(m.size()));
  }
  void hangUp() { shutdown(client_, SHUT_RDWR); }
  std::atomic<int> questions{0};

 private:
  void serve() {
    client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ < 0) return;
    if (mode_ == Mode::hangUp) {
      shutdown(client_, SHUT_RDWR);
      return;
    }
    if (mode_ == Mode::garbage) {
      const std::string junk = "HTTP/1.1 400 Bad Request\r\n\r\n";
      (void)!write(client_, junk.data(), junk.size());
    }
    MessageReader reader;
    char buffer[4096];
    while (!stop_) {
      const ssize_t n = read(client_, buffer, sizeof buffer);
      if (n <= 0) return;
      reader.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
      while (auto m = reader.next()) {
        ++questions;
        if (mode_ != Mode::answer) continue;
        std::string reply;
        if (m->type == kSubscribe) {
          reply = encode(kSubscribe, R"({"success": true})");
        } else if (m->payload.empty()) {
          reply = encode(kGetBarConfig, R"([ "bar-0" ])");
        } else {
          reply = encode(kGetBarConfig, swayBar(m->payload, "x", "#ffffffff", "#000000ff"));
        }
        (void)!write(client_, reply.data(), reply.size());
      }
    }
  }

  Mode mode_;
  std::string dir_, path_;
  int listener_ = -1;
  std::atomic<int> client_{-1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Runs GLib's default context until `done` or `seconds` have passed; the longest gap between
// two wakeups of a 50 ms timer meanwhile, which a blocking call would stretch.
template <class Done>
double runUntil(Done done, double seconds) {
  const double start = platform::linux_backend::GLibRunLoop::monotonicNow();
  double last = start, longest = 0;
  bool ticked = false;
  const guint tick = g_timeout_add(
      50,
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_CONTINUE;
      },
      &ticked);
  for (;;) {
    const double now = platform::linux_backend::GLibRunLoop::monotonicNow();
    if (done() || now - start > seconds) break;
    g_main_context_iteration(nullptr, TRUE);
    if (ticked) {
      const double t = platform::linux_backend::GLibRunLoop::monotonicNow();
      longest = std::max(longest, t - last);
      last = t;
      ticked = false;
    }
  }
  g_source_remove(tick);
  return longest;
}

TEST(I3barColorsQuery, AnswerGivesTheOnlyBarsColoursAndAReloadChangesThem) {
  FakeWindowManager wm(FakeWindowManager::Mode::answer);
  std::vector<BarColors> told;
  std::vector<std::string> failures;
  I3barColorsQuery query(
      wm.path(), [&](const BarColors& c) { told.push_back(c); },
      [&](const std::string& why) { failures.push_back(why); });
  runUntil([&] { return !told.empty(); }, 5);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0], (BarColors{.text = kBlack, .backgrounds = {kWhite}}));
  // The subscription, the list and the one bar's configuration: asked once, at start.
  EXPECT_EQ(wm.questions, 3);

  wm.sendEvent(swayBar("bar-0", "x", "#000000ff", "#ffffffff"));
  wm.sendEvent(swayBar("bar-9", "x", "#ff0000ff", "#00ff00ff"));  // another bar's: not ours
  runUntil([&] { return told.size() >= 2; }, 5);
  runUntil([] { return false; }, 0.2);
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[1], (BarColors{.text = kWhite, .backgrounds = {kBlack}}));
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(wm.questions, 3);

  // The window manager goes away after answering: nothing to tell, the colours stay.
  wm.hangUp();
  runUntil([&] { return !query.connected(); }, 5);
  EXPECT_FALSE(query.connected());
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(told.size(), 2u);
}

TEST(I3barColorsQuery, ASocketThatAcceptsAndNeverAnswersHoldsNoTick) {
  FakeWindowManager wm(FakeWindowManager::Mode::silent);
  int told = 0, failures = 0;
  const double start = platform::linux_backend::GLibRunLoop::monotonicNow();
  I3barColorsQuery query(
      wm.path(), [&](const BarColors&) { ++told; }, [&](const std::string&) { ++failures; });
  EXPECT_LT(platform::linux_backend::GLibRunLoop::monotonicNow() - start, 0.1);
  const double longest = runUntil([] { return false; }, 1.0);
  EXPECT_LT(longest, 0.3);
  EXPECT_EQ(told, 0);
  EXPECT_EQ(failures, 0);  // not yet: the answer may still come
}

TEST(I3barColorsQuery, NonsenseHangUpOrNoSocketIsToldOnceAndNothingElse) {
  for (auto mode : {FakeWindowManager::Mode::garbage, FakeWindowManager::Mode::hangUp}) {
    FakeWindowManager wm(mode);
    int told = 0;
    std::vector<std::string> failures;
    I3barColorsQuery query(
        wm.path(), [&](const BarColors&) { ++told; },
        [&](const std::string& why) { failures.push_back(why); });
    runUntil([&] { return !failures.empty(); }, 5);
    runUntil([] { return false; }, 0.2);
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(told, 0);
    EXPECT_FALSE(query.connected());  // tried again only after a calm delay
  }
  std::vector<std::string> failures;
  I3barColorsQuery query(
      "/nonexistent/ipc.sock", [](const BarColors&) {},
      [&](const std::string& why) { failures.push_back(why); });
  EXPECT_EQ(failures, std::vector<std::string>{"No such file or directory"});
}

}  // namespace
