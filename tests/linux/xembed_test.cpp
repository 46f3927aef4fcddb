// The XEmbed tray item in-process against a real Xvfb and a small tray manager of the test's
// own: it owns the selection, accepts docks (reparents, sizes and maps the icon, with the icon
// in its save-set as real trays do), can go away, come back and stall. Run in a private mount
// and network namespace (see tests/CMakeLists.txt), so the display is the test's own.
#include <fcntl.h>
#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PrivateBus.h"
#include "Titles.h"
#include "platform/linux/tray/XEmbedStatusBar.h"
#include "platform/linux/tray/XEmbedStatusItem.h"

using namespace platform::linux_backend;
using testing_support::connectTo;
using testing_support::hidden;
using testing_support::PrivateBus;
using testing_support::title;

namespace {

constexpr int kDisplay = 7;
const std::string kDisplayName = ":" + std::to_string(kDisplay);
constexpr std::uint32_t kPanelColour = 0x00c000;  // the test tray's background: green

double monotonic() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

class Xvfb {
 public:
  Xvfb() {
    // A server killed before leaves its socket, which would read as this one being up.
    unlink(socket().c_str());
    unlink(("/tmp/.X" + std::to_string(kDisplay) + "-lock").c_str());
    pid_ = fork();
    if (pid_ == 0) {
      execlp("Xvfb", "Xvfb", kDisplayName.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    struct stat st {};
    for (int i = 0; i < 200 && stat(socket().c_str(), &st) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
  ~Xvfb() {
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  static std::string socket() { return "/tmp/.X11-unix/X" + std::to_string(kDisplay); }
  void signal(int sig) { kill(pid_, sig); }

 private:
  pid_t pid_ = -1;
};

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  auto* reply = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t a = reply ? reply->atom : 0;
  std::free(reply);
  return a;
}

// A tray manager, blocking where it likes: it is the test's, not the program's. Each start()
// is a new client, so stop() ends it as a real tray ends: the server hands the icons in its
// save-set back to the root window, mapped.
class TestTray {
 public:
  explicit TestTray(bool argb) : argb_(argb) {}
  ~TestTray() { stop(); }

  bool start() {
    c_ = xcb_connect(kDisplayName.c_str(), nullptr);
    if (xcb_connection_has_error(c_)) return false;
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {kPanelColour, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0, 300, 40, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c_, window_);
    opcode_ = atom(c_, "_NET_SYSTEM_TRAY_OPCODE");
    const xcb_atom_t selection = atom(c_, "_NET_SYSTEM_TRAY_S0");
    if (argb_) {
      const xcb_visualid_t visual = argbVisual();
      if (!visual) return false;
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, atom(c_, "_NET_SYSTEM_TRAY_VISUAL"),
                          XCB_ATOM_VISUALID, 32, 1, &visual);
    }
    xcb_set_selection_owner(c_, window_, selection, XCB_CURRENT_TIME);
    xcb_client_message_event_t announce{};
    announce.response_type = XCB_CLIENT_MESSAGE;
    announce.format = 32;
    announce.window = screen_->root;
    announce.type = atom(c_, "MANAGER");
    announce.data.data32[0] = XCB_CURRENT_TIME;
    announce.data.data32[1] = selection;
    announce.data.data32[2] = window_;
    xcb_send_event(c_, 0, screen_->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&announce));
    // A round trip: the server has handed the announcement out before this returns.
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    return true;
  }

  void stop() {
    if (c_) xcb_disconnect(c_);
    c_ = nullptr;
    docked.clear();
  }

  // Takes the dock requests that arrived: reparents, sizes and maps each icon.
  void process() {
    if (!c_ || stalled) return;
    while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) {
      if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
        const auto* m = reinterpret_cast<xcb_client_message_event_t*>(e);
        if (m->type == opcode_ && m->data.data32[1] == 0) dock(m->data.data32[2]);
      }
      std::free(e);
    }
  }

  void resize(xcb_window_t icon, int size) {
    const std::uint32_t values[] = {static_cast<std::uint32_t>(size),
                                    static_cast<std::uint32_t>(size)};
    xcb_configure_window(c_, icon, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
    xcb_flush(c_);
  }

  xcb_window_t window() const { return window_; }
  std::vector<xcb_window_t> docked;
  bool stalled = false;
  int iconSize = 24;

 private:
  void dock(xcb_window_t icon) {
    xcb_change_save_set(c_, XCB_SET_MODE_INSERT, icon);
    xcb_reparent_window(c_, icon, window_, static_cast<std::int16_t>(8 + 40 * docked.size()), 4);
    resize(icon, iconSize);
    xcb_map_window(c_, icon);
    xcb_flush(c_);
    docked.push_back(icon);
  }

  xcb_visualid_t argbVisual() {
    for (auto d = xcb_screen_allowed_depths_iterator(screen_); d.rem; xcb_depth_next(&d)) {
      if (d.data->depth != 32) continue;
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
        if (v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) return v.data->visual_id;
      }
    }
    return 0;
  }

  bool argb_;
  xcb_connection_t* c_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_atom_t opcode_ = 0;
};

// The test's own view of the screen, for reading pixels and sending input.
class Looker {
 public:
  Looker() {
    c_ = xcb_connect(kDisplayName.c_str(), nullptr);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
  }
  ~Looker() { xcb_disconnect(c_); }

  // The window's pixels as ARGB words (alpha meaningful at depth 32 only).
  std::vector<std::uint32_t> pixels(xcb_window_t w, int& width, int& height) {
    auto* geometry = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr);
    if (!geometry) return {};
    width = geometry->width;
    height = geometry->height;
    std::free(geometry);
    auto* image = xcb_get_image_reply(
        c_,
        xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, w, 0, 0, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), ~0u),
        nullptr);
    if (!image) return {};
    std::vector<std::uint32_t> out(static_cast<std::size_t>(width) * height);
    std::memcpy(out.data(), xcb_get_image_data(image),
                std::min<std::size_t>(out.size() * 4, xcb_get_image_data_length(image)));
    std::free(image);
    return out;
  }

  xcb_window_t parent(xcb_window_t w) {
    auto* tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, w), nullptr);
    const xcb_window_t p = tree ? tree->parent : 0;
    std::free(tree);
    return p;
  }
  bool exists(xcb_window_t w) {
    auto* attributes =
        xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr);
    std::free(attributes);
    return attributes != nullptr;
  }
  bool viewable(xcb_window_t w) {
    auto* a = xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr);
    const bool v = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(a);
    return v;
  }
  bool overrideRedirect(xcb_window_t w) {
    auto* a = xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr);
    const bool o = a && a->override_redirect;
    std::free(a);
    return o;
  }

  // A button press or release as the server would deliver it to `w`, at (x, y) in it.
  void button(xcb_window_t w, std::uint8_t type, int button, int x, int y) {
    xcb_button_press_event_t e{};
    e.response_type = type;
    e.detail = static_cast<xcb_button_t>(button);
    e.root = root_;
    e.event = w;
    e.event_x = static_cast<std::int16_t>(x);
    e.event_y = static_cast<std::int16_t>(y);
    e.root_x = static_cast<std::int16_t>(100 + x);
    e.root_y = static_cast<std::int16_t>(100 + y);
    e.same_screen = 1;
    const std::uint32_t mask =
        type == XCB_BUTTON_PRESS ? XCB_EVENT_MASK_BUTTON_PRESS : XCB_EVENT_MASK_BUTTON_RELEASE;
    xcb_send_event(c_, 0, w, mask, reinterpret_cast<const char*>(&e));
    xcb_flush(c_);
  }
  // The pointer entering or leaving `w`, as the server would tell it.
  void crossing(xcb_window_t w, std::uint8_t type) {
    xcb_enter_notify_event_t e{};
    e.response_type = type;
    e.root = root_;
    e.event = w;
    e.root_x = 120;
    e.root_y = 20;
    e.same_screen_focus = 1;
    const std::uint32_t mask =
        type == XCB_ENTER_NOTIFY ? XCB_EVENT_MASK_ENTER_WINDOW : XCB_EVENT_MASK_LEAVE_WINDOW;
    xcb_send_event(c_, 0, w, mask, reinterpret_cast<const char*>(&e));
    xcb_flush(c_);
  }
  int width(xcb_window_t w) {
    auto* g = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr);
    const int width = g ? g->width : 0;
    std::free(g);
    return width;
  }
  void key(xcb_window_t w, xcb_keycode_t code) {
    xcb_key_press_event_t e{};
    e.response_type = XCB_KEY_PRESS;
    e.detail = code;
    e.root = root_;
    e.event = w;
    e.same_screen = 1;
    xcb_send_event(c_, 0, w, XCB_EVENT_MASK_KEY_PRESS, reinterpret_cast<const char*>(&e));
    xcb_flush(c_);
  }
  // Makes the key that gives `from` give `to` instead, as a layout switch would.
  xcb_keycode_t remap(xcb_keysym_t from, xcb_keysym_t to) {
    const xcb_keycode_t code = keycode(from);
    auto* map = xcb_get_keyboard_mapping_reply(c_, xcb_get_keyboard_mapping(c_, code, 1), nullptr);
    std::vector<xcb_keysym_t> syms(map->keysyms_per_keycode, to);
    xcb_change_keyboard_mapping(c_, 1, code, map->keysyms_per_keycode, syms.data());
    std::free(map);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    return code;
  }
  xcb_keycode_t keycode(xcb_keysym_t sym) {
    const xcb_setup_t* setup = xcb_get_setup(c_);
    auto* map = xcb_get_keyboard_mapping_reply(
        c_,
        xcb_get_keyboard_mapping(c_, setup->min_keycode,
                                 setup->max_keycode - setup->min_keycode + 1),
        nullptr);
    xcb_keycode_t code = 0;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map);
    for (int i = 0; i < xcb_get_keyboard_mapping_keysyms_length(map); ++i) {
      if (syms[i] == sym) {
        code = static_cast<xcb_keycode_t>(setup->min_keycode + i / map->keysyms_per_keycode);
        break;
      }
    }
    std::free(map);
    return code;
  }

 private:
  xcb_connection_t* c_;
  xcb_window_t root_;
};

unsigned alpha(std::uint32_t p) { return p >> 24; }
unsigned green(std::uint32_t p) { return (p >> 8) & 0xff; }
bool light(std::uint32_t p) {
  return ((p >> 16) & 0xff) > 200 && green(p) > 200 && (p & 0xff) > 200;
}
bool panel(std::uint32_t p) { return (p & 0xffffff) == kPanelColour; }

struct XEmbed : testing::Test {
  std::unique_ptr<Xvfb> server = std::make_unique<Xvfb>();
  std::unique_ptr<TestTray> tray;
  std::unique_ptr<XEmbedStatusItem> item;
  std::vector<std::string> messages;
  double now = 100.0;
  int clicks = 0, doubleClicks = 0;

  void makeTray(bool argb) {
    tray = std::make_unique<TestTray>(argb);
    ASSERT_TRUE(tray->start()) << "no test tray (or no 32-bit visual on Xvfb)";
  }
  void makeItem() {
    auto connection = std::make_unique<XConnection>(kDisplayName);
    std::string whyNot;
    ASSERT_TRUE(connection->waitConnected(5.0, whyNot)) << whyNot;
    item = std::make_unique<XEmbedStatusItem>(
        std::move(connection),
        XEmbedOptions{.clock = [this] { return now; },
                      .messages = [this](std::string_view m) { messages.emplace_back(m); },
                      .presence = {},
                      .sayWaiting = true});
    item->setAction([this] { ++clicks; });
    item->setDoubleAction([this] { ++doubleClicks; });
  }

  // Turns the loop (the item's side) and the tray's, until `done` or the deadline.
  bool spinUntil(const std::function<bool()>& done, double seconds = 5.0) {
    const double end = monotonic() + seconds;
    while (!done() && monotonic() < end) {
      if (tray) tray->process();
      g_main_context_iteration(nullptr, FALSE);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
  }
  void spinFor(double seconds) {
    spinUntil([] { return false; }, seconds);
  }
  bool docked() {
    return item->window() && !tray->docked.empty() && tray->docked.back() == item->window();
  }
  // The icon's pixels once the server has taken every frame sent.
  std::vector<std::uint32_t> settled(Looker& looker, int& w, int& h) {
    spinFor(0.15);
    return looker.pixels(item->window(), w, h);
  }
};

TEST_F(XEmbed, DocksInTheArgbVisualAndDrawsTheIconAtTheSizeGivenWithClearCorners) {
  ASSERT_NO_FATAL_FAILURE(makeTray(true));
  ASSERT_NO_FATAL_FAILURE(makeItem());
  item->setAttributedTitle(title("12 minutes"));
  ASSERT_TRUE(spinUntil([&] { return docked(); })) << "no dock request reached the tray";
  EXPECT_TRUE(item->argb());
  Looker looker;
  EXPECT_EQ(looker.parent(item->window()), tray->window());
  ASSERT_TRUE(spinUntil([&] { return item->iconSize() == 24; }));

  tray->resize(item->window(), 32);
  ASSERT_TRUE(spinUntil([&] { return item->iconSize() == 32; }));
  int w = 0, h = 0;
  auto px = settled(looker, w, h);
  ASSERT_EQ(w, 32);
  ASSERT_EQ(px.size(), 32u * 32u);
  // The badge fills the middle; its rounded corners leave the window's corners see-through.
  EXPECT_EQ(alpha(px[0]), 0u);
  EXPECT_EQ(alpha(px[31]), 0u);
  int opaque = 0;
  for (auto p : px) opaque += alpha(p) == 255;
  EXPECT_GT(opaque, 32 * 32 / 2);
  // The badge's light ground, somewhere near the edge where the digits are not.
  EXPECT_TRUE(light(px[16 * 32 + 4])) << std::hex << px[16 * 32 + 4];

  // A hidden blink frame: the same window, the same size, nothing drawn.
  item->setAttributedTitle(hidden(title("12 minutes")));
  px = settled(looker, w, h);
  ASSERT_EQ(w, 32);
  int drawn = 0;
  for (auto p : px) drawn += alpha(p) != 0;
  EXPECT_EQ(drawn, 0);
  item->setAttributedTitle(title("12 minutes"));
  px = settled(looker, w, h);
  opaque = 0;
  for (auto p : px) opaque += alpha(p) == 255;
  EXPECT_GT(opaque, 32 * 32 / 2);
}

TEST_F(XEmbed, WithoutAVisualOfferedDrawsOverTheTraysBackground) {
  ASSERT_NO_FATAL_FAILURE(makeTray(false));
  ASSERT_NO_FATAL_FAILURE(makeItem());
  item->setAttributedTitle(title("3 minutes"));
  ASSERT_TRUE(spinUntil([&] { return docked() && item->iconSize() == 24; }));
  EXPECT_FALSE(item->argb());
  Looker looker;
  int w = 0, h = 0;
  auto px = settled(looker, w, h);
  ASSERT_EQ(px.size(), 24u * 24u);
  EXPECT_TRUE(panel(px[0])) << "corner " << std::hex << px[0];
  EXPECT_TRUE(light(px[12 * 24 + 4])) << std::hex << px[12 * 24 + 4];

  item->setAttributedTitle(hidden(title("3 minutes")));
  px = settled(looker, w, h);
  int background = 0;
  for (auto p : px) background += panel(p);
  EXPECT_EQ(background, 24 * 24) << "a hidden frame shows something other than the tray";
}

TEST_F(XEmbed, DocksAgainWhenTheTrayIsReplacedAndLeavesNoStrayWindowWhenItEnds) {
  ASSERT_NO_FATAL_FAILURE(makeTray(true));
  ASSERT_NO_FATAL_FAILURE(makeItem());
  item->setAttributedTitle(title("12 minutes"));
  ASSERT_TRUE(spinUntil([&] { return docked(); }));
  const xcb_window_t first = item->window();

  // A new tray takes the selection from the running one.
  TestTray successor(true);
  ASSERT_TRUE(successor.start());
  ASSERT_TRUE(spinUntil([&] {
    successor.process();
    return item->window() && !successor.docked.empty() && successor.docked.back() == item->window();
  }));
  Looker looker;
  EXPECT_FALSE(looker.exists(first)) << "the icon left with the old tray still exists";

  // The tray ends: the server hands the icon back to the root, mapped; the item takes it away.
  successor.stop();
  ASSERT_TRUE(spinUntil([&] { return item->window() == 0; }));
  spinFor(0.2);
  EXPECT_EQ(item->manager(), 0u);

  // And a tray that comes later gets the item.
  tray = std::make_unique<TestTray>(false);
  ASSERT_TRUE(tray->start());
  ASSERT_TRUE(spinUntil([&] { return docked(); }));
  EXPECT_TRUE(spinUntil([&] { return looker.viewable(item->window()); }));
  int waiting = 0;
  for (const auto& m : messages) waiting += m.find("waiting for a tray") != std::string::npos;
  EXPECT_EQ(waiting, 1) << "said more or less than once that it waits";
}

// At login the panel and the program start together: a tray that announces itself after the
// connection was made but before the item listens is found all the same.
TEST_F(XEmbed, ATrayThatStartedWhileTheItemConnectedIsFound) {
  auto connection = std::make_unique<XConnection>(kDisplayName);
  std::string whyNot;
  ASSERT_TRUE(connection->waitConnected(5.0, whyNot)) << whyNot;
  ASSERT_EQ(connection->setup().managerAtConnect, 0u);
  ASSERT_NO_FATAL_FAILURE(makeTray(true));  // its announcement reaches nobody
  item = std::make_unique<XEmbedStatusItem>(std::move(connection),
                                            XEmbedOptions{.clock = [this] { return now; },
                                                          .messages = [](std::string_view) {},
                                                          .presence = {},
                                                          .sayWaiting = true});
  item->setAttributedTitle(title("5 minutes"));
  EXPECT_TRUE(spinUntil([&] { return docked(); }));
}

TEST_F(XEmbed, ClicksDoubleClicksAndTheMenusTwoEntries) {
  ASSERT_NO_FATAL_FAILURE(makeTray(true));
  ASSERT_NO_FATAL_FAILURE(makeItem());
  item->setAttributedTitle(title("12 minutes"));
  ASSERT_TRUE(spinUntil([&] { return docked(); }));
  Looker looker;
  const xcb_window_t icon = item->window();

  looker.button(icon, XCB_BUTTON_PRESS, 1, 10, 10);
  ASSERT_TRUE(spinUntil([&] { return clicks == 1; }));
  now += 0.3;  // within 400 ms: the double-click
  looker.button(icon, XCB_BUTTON_PRESS, 1, 10, 10);
  ASSERT_TRUE(spinUntil([&] { return doubleClicks == 1; }));
  EXPECT_EQ(clicks, 1);
  now += 1.0;
  looker.button(icon, XCB_BUTTON_PRESS, 1, 10, 10);
  ASSERT_TRUE(spinUntil([&] { return clicks == 2; }));
  now += 0.5;  // too late to pair with it
  looker.button(icon, XCB_BUTTON_PRESS, 1, 10, 10);
  ASSERT_TRUE(spinUntil([&] { return clicks == 3; }));
  EXPECT_EQ(doubleClicks, 1);
  // The other buttons' releases and the middle button do nothing.
  looker.button(icon, XCB_BUTTON_PRESS, 2, 10, 10);
  spinFor(0.1);
  EXPECT_EQ(clicks, 3);

  EXPECT_STREQ(XEmbedMenu::kLabels[XEmbedMenu::kRestart], "Restart");
  EXPECT_STREQ(XEmbedMenu::kLabels[XEmbedMenu::kQuit], "Quit");
  const auto openMenu = [&] {
    looker.button(icon, XCB_BUTTON_PRESS, 3, 10, 10);
    return spinUntil([&] { return item->menu() && item->menu()->open(); }) &&
           spinUntil([&] { return looker.viewable(item->menu()->window()); });
  };
  const auto menuGone = [&] { return !item->menu() || !item->menu()->open(); };

  // "Restart": a release on the first row is a click.
  ASSERT_TRUE(openMenu());
  const xcb_window_t menu = item->menu()->window();
  EXPECT_TRUE(looker.overrideRedirect(menu));
  const int row = item->menu()->entryHeight();
  looker.button(menu, XCB_BUTTON_PRESS, 1, 20, row / 2);
  looker.button(menu, XCB_BUTTON_RELEASE, 1, 20, row / 2);
  ASSERT_TRUE(spinUntil(menuGone));
  EXPECT_EQ(clicks, 4);
  EXPECT_EQ(doubleClicks, 1);
  spinFor(0.05);
  EXPECT_FALSE(looker.exists(menu));

  // Escape closes it, choosing nothing.
  ASSERT_TRUE(openMenu());
  const xcb_keycode_t escape = looker.keycode(0xff1b);
  ASSERT_NE(escape, 0);
  looker.key(item->menu()->window(), escape);
  ASSERT_TRUE(spinUntil(menuGone));
  // After a change of layout, the key that now gives Escape.
  const xcb_keycode_t moved = looker.remap('a', 0xff1b);
  spinFor(0.1);
  ASSERT_TRUE(openMenu());
  looker.key(item->menu()->window(), moved);
  ASSERT_TRUE(spinUntil(menuGone)) << "the menu reads the keyboard map of its start";
  // So does a press outside it.
  ASSERT_TRUE(openMenu());
  looker.button(item->menu()->window(), XCB_BUTTON_PRESS, 1, -30, -30);
  ASSERT_TRUE(spinUntil(menuGone));
  EXPECT_EQ(clicks, 4);
  EXPECT_EQ(doubleClicks, 1);

  // "Quit": the second row is the double-click's action.
  ASSERT_TRUE(openMenu());
  looker.button(item->menu()->window(), XCB_BUTTON_RELEASE, 1, 20, row + row / 2);
  ASSERT_TRUE(spinUntil(menuGone));
  EXPECT_EQ(doubleClicks, 2);
  EXPECT_EQ(clicks, 4);
}

TEST_F(XEmbed, ATooltipWithTheWholeTitleAfterThePointerRestsAndNoneOnceItLeaves) {
  ASSERT_NO_FATAL_FAILURE(makeTray(true));
  ASSERT_NO_FATAL_FAILURE(makeItem());
  item->setAttributedTitle(title("12 minutes"));
  ASSERT_TRUE(spinUntil([&] { return docked(); }));
  Looker looker;
  looker.crossing(item->window(), XCB_ENTER_NOTIFY);
  spinFor(0.3);
  EXPECT_EQ(item->tooltip(), 0u) << "the tooltip came before the pointer rested";
  ASSERT_TRUE(spinUntil([&] { return item->tooltip() && looker.viewable(item->tooltip()); }));
  EXPECT_TRUE(looker.overrideRedirect(item->tooltip()));
  const int narrow = looker.width(item->tooltip());
  // The whole title, redrawn as it changes.
  item->setAttributedTitle(title("12 minutes and a much longer text"));
  EXPECT_TRUE(spinUntil([&] { return looker.width(item->tooltip()) > narrow; }));

  const xcb_window_t shown = item->tooltip();
  looker.crossing(item->window(), XCB_LEAVE_NOTIFY);
  ASSERT_TRUE(spinUntil([&] { return item->tooltip() == 0; }));
  spinFor(0.1);
  EXPECT_FALSE(looker.exists(shown));
  // A press takes it away before it shows.
  looker.crossing(item->window(), XCB_ENTER_NOTIFY);
  looker.button(item->window(), XCB_BUTTON_PRESS, 1, 5, 5);
  spinFor(1.0);
  EXPECT_EQ(item->tooltip(), 0u);
}

// The X server goes and comes back: the loss is said once, the display is connected again
// within the retry interval, and the item docks in the tray there.
TEST_F(XEmbed, ALostDisplayIsConnectedAgainAndTheItemDocksThere) {
  ASSERT_NO_FATAL_FAILURE(makeTray(true));
  ASSERT_NO_FATAL_FAILURE(makeItem());
  item->setAttributedTitle(title("12 minutes"));
  ASSERT_TRUE(spinUntil([&] { return docked(); }));
  tray.reset();
  server.reset();
  ASSERT_TRUE(spinUntil([&] { return item->window() == 0; }));
  const double lost = monotonic();
  server = std::make_unique<Xvfb>();
  ASSERT_NO_FATAL_FAILURE(makeTray(true));
  ASSERT_TRUE(spinUntil([&] { return docked(); }, XEmbedStatusItem::kRetrySeconds + 5.0));
  EXPECT_LE(monotonic() - lost, XEmbedStatusItem::kRetrySeconds + 3.0);
  int said = 0;
  for (const auto& m : messages) said += m.find("no connection to X display") != std::string::npos;
  EXPECT_EQ(said, 1);
}

// Each title must come back at once, whatever the tray or the server does; a frame the server
// has not taken holds back the next rather than piling up in the socket.
TEST_F(XEmbed, AStalledTrayOrServerNeverHoldsATick) {
  ASSERT_NO_FATAL_FAILURE(makeTray(true));
  tray->stalled = true;  // owns the selection, never answers a dock request
  ASSERT_NO_FATAL_FAILURE(makeItem());
  double slowest = 0;
  const auto tick = [&](const platform::AttributedString& t) {
    const double start = monotonic();
    item->setAttributedTitle(t);
    g_main_context_iteration(nullptr, FALSE);
    slowest = std::max(slowest, monotonic() - start);
  };
  for (int i = 0; i < 20; ++i) tick(i % 2 ? hidden(title("1 minute")) : title("1 minute"));
  EXPECT_LT(slowest, 0.1);
  ASSERT_TRUE(spinUntil([&] { return item->window() != 0; }));

  // The tray wakes up: the item is docked and drawn.
  tray->stalled = false;
  ASSERT_TRUE(spinUntil([&] { return docked(); }));
  tray->resize(item->window(), 96);  // large frames: 36 KiB each
  ASSERT_TRUE(spinUntil([&] { return item->iconSize() == 96; }));
  spinFor(0.2);

  // The server stops: hundreds of frames, each with a new face, go nowhere and wait for nobody.
  server->signal(SIGSTOP);
  const int before = item->framesDrawn();
  slowest = 0;
  for (int i = 0; i < 300; ++i) tick(title(std::to_string(i % 59 + 1) + " minutes"));
  EXPECT_LT(slowest, 0.1);
  EXPECT_LE(item->framesDrawn() - before, 1) << "frames sent to a server that takes none";
  server->signal(SIGCONT);
  // The newest face reaches the screen once it resumes.
  ASSERT_TRUE(spinUntil([&] { return item->framesDrawn() >= before + 2; }));
}

// ---------------------------------------------------------------------------------------------
// --status-bar=tray with neither kind of tray there yet: the first that appears wins.

// A StatusNotifierWatcher that counts registrations, on a connection of its own.
class TestWatcher {
  std::unique_ptr<GDBusConnection, decltype(&g_object_unref)> bus_;
  testing_support::CountingWatcher watcher_{bus_.get()};

 public:
  explicit TestWatcher(const std::string& address) : bus_(connectTo(address), g_object_unref) {}
  const int& registrations = watcher_.registrations;
};

// A notification service that counts what it is asked, as a desktop's would show it.
class TestNotifications {
 public:
  explicit TestNotifications(const std::string& address) {
    bus_ = connectTo(address);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant*,
           GDBusMethodInvocation* invocation, void* self) {
          auto& n = *static_cast<TestNotifications*>(self);
          if (std::string_view(method) == "Notify") {
            ++n.notified;
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 7u));
          } else {
            ++n.closed;
            g_dbus_method_invocation_return_value(invocation, nullptr);
          }
        },
        nullptr,
        nullptr,
        {}};
    objectId_ = g_dbus_connection_register_object(bus_, "/org/freedesktop/Notifications",
                                                  testing_support::notificationsInterface(),
                                                  &vtable, this, nullptr, nullptr);
    ownerId_ = g_bus_own_name_on_connection(
        bus_, "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const char*, void* self) {
          static_cast<TestNotifications*>(self)->owned = true;
        },
        nullptr, this, nullptr);
  }
  ~TestNotifications() {
    g_bus_unown_name(ownerId_);
    g_dbus_connection_unregister_object(bus_, objectId_);
    g_object_unref(bus_);
  }
  int notified = 0, closed = 0;
  bool owned = false;

 private:
  GDBusConnection* bus_;
  unsigned objectId_ = 0, ownerId_ = 0;
};

constexpr unsigned kGraceMs = 400;

struct EitherTray : XEmbed {
  PrivateBus daemon;
  std::unique_ptr<TestNotifications> notifications;
  GDBusConnection* bus = nullptr;
  std::unique_ptr<EitherTrayStatusItem> either;

  void SetUp() override {
    ASSERT_FALSE(daemon.address().empty()) << "dbus-daemon did not start";
    // The process's shared connection, as in the program: the menu is exported there.
    setenv("DBUS_SESSION_BUS_ADDRESS", daemon.address().c_str(), 1);
    std::string busWhyNot;
    bus = connectSessionBus(5.0, busWhyNot);
    ASSERT_TRUE(bus) << busWhyNot;
    notifications = std::make_unique<TestNotifications>(daemon.address());
    ASSERT_TRUE(spinUntil([&] { return notifications->owned; }));
    auto connection = std::make_unique<XConnection>(kDisplayName);
    std::string whyNot;
    ASSERT_TRUE(connection->waitConnected(5.0, whyNot)) << whyNot;
    either = std::make_unique<EitherTrayStatusItem>(
        bus, 1, std::move(connection),
        TrayOptions{.clock = [this] { return now; },
                    .messages = [this](std::string_view m) { messages.emplace_back(m); },
                    .onBusLost = {},
                    .desktop = "GNOME",
                    .noTrayGraceMs = kGraceMs});
    either->setAction([this] { ++clicks; });
    either->setAttributedTitle(title("2 minutes"));
  }
  void TearDown() override {
    either.reset();
    notifications.reset();
    if (bus) g_object_unref(bus);
  }
};

TEST_F(EitherTray, AnXEmbedTrayFirstIsTakenAndAWatcherLaterChangesNothing) {
  spinFor(0.1);
  EXPECT_FALSE(either->chosen());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("waiting for a tray"), std::string::npos) << messages[0];

  ASSERT_NO_FATAL_FAILURE(makeTray(true));
  ASSERT_TRUE(spinUntil([&] { return !tray->docked.empty(); }));
  EXPECT_TRUE(either->choseXEmbed());
  TestWatcher watcher(daemon.address());
  spinFor(0.5);
  EXPECT_EQ(watcher.registrations, 0);
  EXPECT_TRUE(either->choseXEmbed());
  // Clicks reach the core through the item it became.
  Looker looker;
  looker.button(tray->docked.back(), XCB_BUTTON_PRESS, 1, 5, 5);
  EXPECT_TRUE(spinUntil([&] { return clicks == 1; }));
  EXPECT_EQ(messages.size(), 1u);
  // It came within the grace: no notification, then or later.
  spinFor(kGraceMs / 1000.0);
  EXPECT_EQ(notifications->notified, 0);
}

TEST_F(EitherTray, AWatcherFirstIsTakenAndAnXEmbedTrayLaterGetsNoIcon) {
  // Neither within the grace: told once, withdrawn when a tray comes.
  ASSERT_TRUE(spinUntil([&] { return notifications->notified == 1; }));
  TestWatcher watcher(daemon.address());
  ASSERT_TRUE(spinUntil([&] { return watcher.registrations == 1; }));
  EXPECT_TRUE(either->chosen());
  EXPECT_FALSE(either->choseXEmbed());
  ASSERT_NO_FATAL_FAILURE(makeTray(true));
  spinFor(0.5);
  EXPECT_TRUE(tray->docked.empty()) << "docked in an XEmbed tray as well";
  EXPECT_EQ(notifications->notified, 1);
  EXPECT_EQ(notifications->closed, 1);
}

}  // namespace
