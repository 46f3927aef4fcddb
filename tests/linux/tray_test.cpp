// The tray item in-process against a real private dbus-daemon. The test plays the desktop on a
// connection of its own: the watcher that items register with, and the host that reads their
// properties, listens to their signals, clicks them and opens their menu.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "PrivateBus.h"
#include "Titles.h"
#include "platform/linux/tray/TrayStatusBar.h"

using platform::AttributedString;
using platform::Color;
using platform::StatusItem;
using namespace platform::linux_backend;

namespace {

using testing_support::connectTo;
using testing_support::hidden;
using testing_support::PrivateBus;
using testing_support::title;

// Turns the default main context, where both the item and the test's host side live, until
// `done` or the deadline.
bool spinUntil(const std::function<bool()>& done, double seconds = 5.0) {
  const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
  const guint wake = g_timeout_add(
      5, [](void*) -> int { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && g_get_monotonic_time() < end) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(wake);
  return done();
}

void spinFor(double seconds) {
  spinUntil([] { return false; }, seconds);
}

// The rules of the tests' own bus. It starts no service on demand: the machine's notification
// servers (GNOME's, Plasma's) are not the test's to start.
const std::string kBusRules =
    "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
    "<auth>EXTERNAL</auth><policy context='default'>"
    "<allow send_destination='*' eavesdrop='true'/><allow eavesdrop='true'/>"
    "<allow own='*'/></policy></busconfig>";

GVariant* callSync(GDBusConnection* bus, const char* dest, const char* path, const char* iface,
                   const char* method, GVariant* args, std::string* error = nullptr) {
  struct Reply {
    bool done = false;
    GVariant* value = nullptr;
    std::string error;
  } reply;
  // Asynchronous and spun: the item answers from this very thread's main context.
  g_dbus_connection_call(
      bus, dest, path, iface, method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      [](GObject* source, GAsyncResult* result, void* data) {
        auto& r = *static_cast<Reply*>(data);
        GError* e = nullptr;
        r.value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &e);
        if (e) {
          r.error = e->message;
          g_error_free(e);
        }
        r.done = true;
      },
      &reply);
  spinUntil([&] { return reply.done; }, 10.0);
  if (error) *error = reply.error;
  return reply.value;
}

std::string typeOf(GVariant* v) { return g_variant_get_type_string(v); }

std::string stringAt(GVariant* tuple, std::size_t i) {
  GVariant* child = g_variant_get_child_value(tuple, i);
  std::string s = g_variant_get_string(child, nullptr);
  g_variant_unref(child);
  return s;
}

// The desktop's side: a watcher that records registrations, on a connection of its own.
class Watcher {
 public:
  explicit Watcher(const std::string& address) {
    bus_ = connectTo(address);
    g_dbus_connection_set_exit_on_close(bus_, FALSE);
  }
  ~Watcher() {
    if (ownerId_) g_bus_unown_name(ownerId_);
    if (objectId_) g_dbus_connection_unregister_object(bus_, objectId_);
    g_object_unref(bus_);
  }
  GDBusConnection* bus() const { return bus_; }
  void setRejecting(bool reject) { reject_ = reject; }

  // Takes the watcher's name, as a panel does when it starts.
  void start(bool reject = false) {
    reject_ = reject;
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const char* sender, const char*, const char*, const char*,
           GVariant* args, GDBusMethodInvocation* invocation, void* self) {
          auto& w = *static_cast<Watcher*>(self);
          const char* service = nullptr;
          g_variant_get(args, "(&s)", &service);
          w.registrations.push_back({sender, service});
          if (w.reject_) {
            g_dbus_method_invocation_return_dbus_error(invocation, "org.example.Busy", "busy");
          } else {
            g_dbus_method_invocation_return_value(invocation, nullptr);
          }
        },
        nullptr,
        nullptr,
        {}};
    objectId_ = g_dbus_connection_register_object(bus_, "/StatusNotifierWatcher",
                                                  testing_support::watcherInterface(), &vtable,
                                                  this, nullptr, nullptr);
    ownerId_ = g_bus_own_name_on_connection(
        bus_, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const char*, void* self) {
          static_cast<Watcher*>(self)->owned = true;
        },
        nullptr, this, nullptr);
    spinUntil([this] { return owned; });
  }

  struct Registration {
    std::string sender, service;
  };
  std::vector<Registration> registrations;
  bool owned = false;

 private:
  GDBusConnection* bus_;
  unsigned objectId_ = 0, ownerId_ = 0;
  bool reject_ = false;
};

// A desktop notification server, as GNOME Shell or a notification daemon is, on a connection of
// its own: records what it is sent and answers as told.
class Notifier {
 public:
  enum class Answer { shown, error, never };

  Notifier(const std::string& address, Answer answer) : answer_(answer) {
    bus_ = connectTo(address);
    g_dbus_connection_set_exit_on_close(bus_, FALSE);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const char*, const char*, const char*, const char* method,
           GVariant* args, GDBusMethodInvocation* invocation, void* self) {
          auto& n = *static_cast<Notifier*>(self);
          if (std::string_view(method) == "CloseNotification") {
            guint32 id = 0;
            g_variant_get(args, "(u)", &id);
            n.closed.push_back(id);
            g_dbus_method_invocation_return_value(invocation, nullptr);
            return;
          }
          n.notes.push_back(g_variant_ref(args));
          if (n.answer_ == Answer::shown) {
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 41u));
          } else if (n.answer_ == Answer::error) {
            g_dbus_method_invocation_return_dbus_error(invocation, "org.example.Full", "full");
          } else {
            n.held_.push_back(G_DBUS_METHOD_INVOCATION(g_object_ref(invocation)));
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
          static_cast<Notifier*>(self)->owned_ = true;
        },
        nullptr, this, nullptr);
    spinUntil([this] { return owned_; });
  }
  ~Notifier() {
    for (GDBusMethodInvocation* i : held_) g_object_unref(i);
    for (GVariant* v : notes) g_variant_unref(v);
    g_bus_unown_name(ownerId_);
    g_dbus_connection_unregister_object(bus_, objectId_);
    g_object_unref(bus_);
  }

  // Notify's arguments, (susssasa{sv}i), in order.
  std::vector<GVariant*> notes;
  std::vector<guint32> closed;

 private:
  GDBusConnection* bus_;
  Answer answer_;
  unsigned objectId_ = 0, ownerId_ = 0;
  bool owned_ = false;
  std::vector<GDBusMethodInvocation*> held_;
};

struct Tray : testing::Test {
  PrivateBus daemon{kBusRules};
  std::unique_ptr<Watcher> host;
  double now = 100.0;
  std::vector<std::string> messages;
  int clicks = 0, doubleClicks = 0, busLost = 0;
  std::unique_ptr<TrayStatusBar> bar;
  std::unique_ptr<StatusItem> item;
  std::map<std::string, std::vector<GVariant*>> signals;  // by name, in order
  unsigned subscription = 0;

  void SetUp() override {
    ASSERT_FALSE(daemon.address().empty()) << "dbus-daemon did not start";
    setenv("DBUS_SESSION_BUS_ADDRESS", daemon.address().c_str(), 1);
    host = std::make_unique<Watcher>(daemon.address());
  }
  void TearDown() override {
    item.reset();
    bar.reset();
    if (subscription) g_dbus_connection_signal_unsubscribe(host->bus(), subscription);
    for (auto& [name, list] : signals) {
      for (GVariant* v : list) g_variant_unref(v);
    }
    host.reset();
    spinFor(0.05);
  }

  void makeItem(const std::string& desktop = "XFCE", unsigned graceMs = 300) {
    std::string whyNot;
    GDBusConnection* bus = connectSessionBus(5.0, whyNot);
    ASSERT_NE(bus, nullptr) << whyNot;
    bar = std::make_unique<TrayStatusBar>(
        bus, TrayOptions{.clock = [this] { return now; },
                         .messages = [this](std::string_view m) { messages.emplace_back(m); },
                         .onBusLost = [this] { ++busLost; },
                         .desktop = desktop,
                         .noTrayGraceMs = graceMs});
    g_object_unref(bus);
    item = bar->statusItemWithLength(StatusItem::kVariableLength);
    item->setAction([this] { ++clicks; });
    item->setDoubleAction([this] { ++doubleClicks; });
  }

  std::string itemName() { return static_cast<TrayStatusItem&>(*item).busName(); }

  GVariant* get(const char* property) {
    GVariant* reply = callSync(host->bus(), itemName().c_str(), "/StatusNotifierItem",
                               "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", "org.kde.StatusNotifierItem", property));
    if (!reply) return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    return value;
  }
  std::string getString(const char* property) {
    GVariant* v = get(property);
    std::string s = v ? g_variant_get_string(v, nullptr) : "<none>";
    if (v) g_variant_unref(v);
    return s;
  }

  void listen() {
    subscription = g_dbus_connection_signal_subscribe(
        host->bus(), nullptr, "org.kde.StatusNotifierItem", nullptr, "/StatusNotifierItem", nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char* name,
           GVariant* args,
           void* self) { static_cast<Tray*>(self)->signals[name].push_back(g_variant_ref(args)); },
        this, nullptr);
  }
  // Signals sent before a reply arrive before it: one round trip settles them all.
  std::map<std::string, int> signalsAfter(const AttributedString& t) {
    for (auto& [name, list] : signals) {
      for (GVariant* v : list) g_variant_unref(v);
    }
    signals.clear();
    item->setAttributedTitle(t);
    g_variant_unref(get("Id"));
    std::map<std::string, int> counts;
    for (const auto& [name, list] : signals) counts[name] = static_cast<int>(list.size());
    return counts;
  }

  bool call(const char* method, GVariant* args, const char* path = "/StatusNotifierItem",
            const char* iface = "org.kde.StatusNotifierItem", GVariant** out = nullptr) {
    std::string error;
    GVariant* reply = callSync(host->bus(), itemName().c_str(), path, iface, method, args, &error);
    EXPECT_TRUE(reply) << method << ": " << error;
    if (out) {
      *out = reply;
    } else if (reply) {
      g_variant_unref(reply);
    }
    return reply != nullptr;
  }
};

TEST_F(Tray, RegistersFromItsFirstTitleAndReadsAsHostsExpect) {
  host->start();
  makeItem();
  spinFor(0.2);
  EXPECT_TRUE(host->registrations.empty()) << "registered before it had anything to show";

  item->setAttributedTitle(title("12 minutes"));
  ASSERT_TRUE(spinUntil([&] { return !host->registrations.empty(); }));
  const auto& r = host->registrations.front();
  // By path: the watcher pairs it with the sender, whose well-known name is the item's.
  EXPECT_EQ(r.service, "/StatusNotifierItem");
  EXPECT_TRUE(std::regex_match(
      itemName(), std::regex("org\\.kde\\.StatusNotifierItem-" + std::to_string(getpid()) + "-1")))
      << itemName();
  GVariant* owner =
      callSync(host->bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
               "GetNameOwner", g_variant_new("(s)", itemName().c_str()));
  ASSERT_TRUE(owner);
  EXPECT_EQ(stringAt(owner, 0), r.sender);
  g_variant_unref(owner);

  GVariant* all = nullptr;
  ASSERT_TRUE(call("GetAll", g_variant_new("(s)", "org.kde.StatusNotifierItem"),
                   "/StatusNotifierItem", "org.freedesktop.DBus.Properties", &all));
  GVariant* dict = g_variant_get_child_value(all, 0);
  const std::map<std::string, std::string> types = {{"Id", "s"},
                                                    {"Category", "s"},
                                                    {"Title", "s"},
                                                    {"Status", "s"},
                                                    {"IconName", "s"},
                                                    {"IconPixmap", "a(iiay)"},
                                                    {"ToolTip", "(sa(iiay)ss)"},
                                                    {"ItemIsMenu", "b"},
                                                    {"Menu", "o"},
                                                    {"XAyatanaLabel", "s"},
                                                    {"XAyatanaLabelGuide", "s"},
                                                    {"WindowId", "i"}};
  for (const auto& [name, type] : types) {
    GVariant* v = g_variant_lookup_value(dict, name.c_str(), nullptr);
    ASSERT_TRUE(v) << name;
    EXPECT_EQ(typeOf(v), type) << name;
    g_variant_unref(v);
  }
  g_variant_unref(dict);
  g_variant_unref(all);

  EXPECT_EQ(getString("Id"), "sitting-timer");
  EXPECT_EQ(getString("Category"), "ApplicationStatus");
  EXPECT_EQ(getString("Title"), "Time Sitting");
  EXPECT_EQ(getString("Status"), "Active");
  EXPECT_EQ(getString("Menu"), "/MenuBar");
  EXPECT_EQ(getString("XAyatanaLabel"), "Time Sitting: 12 minutes");
  EXPECT_EQ(getString("XAyatanaLabelGuide"), "Time Sitting: 12 minutes");
  GVariant* isMenu = get("ItemIsMenu");
  EXPECT_FALSE(g_variant_get_boolean(isMenu));
  g_variant_unref(isMenu);

  GVariant* toolTip = get("ToolTip");
  const char *iconName = nullptr, *heading = nullptr, *body = nullptr;
  GVariant* pixmaps = nullptr;
  g_variant_get(toolTip, "(&s@a(iiay)&s&s)", &iconName, &pixmaps, &heading, &body);
  EXPECT_EQ(std::string(heading), "Time Sitting: 12 minutes");
  g_variant_unref(pixmaps);
  g_variant_unref(toolTip);

  GVariant* icon = get("IconPixmap");
  ASSERT_EQ(g_variant_n_children(icon), std::size(kTrayIconSizes));
  const std::vector<TrayPixmap> drawn = renderTrayIcon(trayIconFace(title("12 minutes")));
  for (std::size_t i = 0; i < g_variant_n_children(icon); ++i) {
    gint32 w = 0, h = 0;
    GVariant* bytes = nullptr;
    g_variant_get_child(icon, i, "(ii@ay)", &w, &h, &bytes);
    EXPECT_EQ(w, kTrayIconSizes[i]);
    EXPECT_EQ(h, kTrayIconSizes[i]);
    gsize n = 0;
    const auto* data = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes, &n, 1));
    ASSERT_EQ(n, static_cast<gsize>(w) * h * 4);
    EXPECT_TRUE(std::equal(data, data + n, drawn[i].argb.begin())) << w;
    g_variant_unref(bytes);
  }
  g_variant_unref(icon);
}

TEST_F(Tray, SignalsOnlyWhatChangedAndHiddenFramesKeepTheirSize) {
  host->start();
  makeItem();
  listen();
  item->setAttributedTitle(title("12 minutes"));
  ASSERT_TRUE(spinUntil([&] { return !host->registrations.empty(); }));

  // A tick that changes nothing: no host is woken.
  EXPECT_EQ(signalsAfter(title("12 minutes")), (std::map<std::string, int>{}));
  // A new minute changes all three.
  EXPECT_EQ(
      signalsAfter(title("13 minutes")),
      (std::map<std::string, int>{{"NewIcon", 1}, {"NewToolTip", 1}, {"XAyatanaNewLabel", 1}}));
  const std::string visibleTitle = "Time Sitting: 13 minutes";
  GVariant* args = signals["XAyatanaNewLabel"].front();
  EXPECT_EQ(typeOf(args), "(ss)");
  EXPECT_EQ(stringAt(args, 0), visibleTitle);

  // A hidden frame: the icon and the label, never the tooltip, which keeps the title.
  EXPECT_EQ(signalsAfter(hidden(title("13 minutes"))),
            (std::map<std::string, int>{{"NewIcon", 1}, {"XAyatanaNewLabel", 1}}));
  GVariant* icon = get("IconPixmap");
  ASSERT_EQ(g_variant_n_children(icon), std::size(kTrayIconSizes));
  for (std::size_t i = 0; i < g_variant_n_children(icon); ++i) {
    gint32 w = 0, h = 0;
    GVariant* bytes = nullptr;
    g_variant_get_child(icon, i, "(ii@ay)", &w, &h, &bytes);
    EXPECT_EQ(w, kTrayIconSizes[i]);
    EXPECT_EQ(h, kTrayIconSizes[i]);
    gsize n = 0;
    const auto* data = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes, &n, 1));
    EXPECT_EQ(n, static_cast<gsize>(w) * h * 4);
    EXPECT_TRUE(std::all_of(data, data + n, [](std::uint8_t b) { return b == 0; })) << w;
    g_variant_unref(bytes);
  }
  g_variant_unref(icon);
  const std::string blank = getString("XAyatanaLabel");
  EXPECT_FALSE(blank.empty()) << "an empty label makes hosts drop it, and the panel reflows";
  EXPECT_EQ(blank, blankOfWidth(visibleTitle));
  EXPECT_EQ(getString("XAyatanaLabelGuide"), visibleTitle);
  GVariant* toolTip = get("ToolTip");
  EXPECT_EQ(stringAt(toolTip, 2), visibleTitle);
  g_variant_unref(toolTip);

  // A second tick inside the same hidden frame, then the frames alternating.
  EXPECT_EQ(signalsAfter(hidden(title("13 minutes"))), (std::map<std::string, int>{}));
  EXPECT_EQ(signalsAfter(title("13 minutes")),
            (std::map<std::string, int>{{"NewIcon", 1}, {"XAyatanaNewLabel", 1}}));
  EXPECT_EQ(getString("XAyatanaLabel"), visibleTitle);
  EXPECT_EQ(
      signalsAfter(hidden(title("14 minutes"))),
      (std::map<std::string, int>{{"NewIcon", 1}, {"NewToolTip", 1}, {"XAyatanaNewLabel", 1}}));
}

TEST_F(Tray, ActivateIsAClickAndTwoWithin400MsADoubleClick) {
  host->start();
  makeItem();
  item->setAttributedTitle(title("< 1 minute"));
  ASSERT_TRUE(spinUntil([&] { return !host->registrations.empty(); }));

  const auto activate = [&](double at, const char* method = "Activate") {
    now = at;
    call(method, g_variant_new("(ii)", 10, 10));
    return std::make_pair(clicks, doubleClicks);
  };
  EXPECT_EQ(activate(100.0), std::make_pair(1, 0));
  EXPECT_EQ(activate(100.35), std::make_pair(1, 1));  // xfce: the user's own gap
  EXPECT_EQ(activate(101.0), std::make_pair(2, 1));
  EXPECT_EQ(activate(101.5), std::make_pair(3, 1));  // 500 ms: two clicks
  EXPECT_EQ(activate(101.6), std::make_pair(3, 2));
  EXPECT_EQ(activate(101.65), std::make_pair(4, 2));  // a third press starts afresh
  // The middle button restarts, and is never half of a double-click.
  EXPECT_EQ(activate(105.0, "SecondaryActivate"), std::make_pair(5, 2));
  EXPECT_EQ(activate(105.1, "SecondaryActivate"), std::make_pair(6, 2));
  // Hosts may send these; they change nothing.
  call("ContextMenu", g_variant_new("(ii)", 1, 1));
  call("Scroll", g_variant_new("(is)", 1, "vertical"));
  EXPECT_EQ(std::make_pair(clicks, doubleClicks), std::make_pair(6, 2));
}

TEST_F(Tray, MenuLayoutIsTypedAsHostsNeedAndBothEventPathsWork) {
  host->start();
  makeItem();
  item->setAttributedTitle(title("< 1 minute"));
  ASSERT_TRUE(spinUntil([&] { return !host->registrations.empty(); }));

  // The menu goes on the bus a moment after the item: ask until it answers.
  GVariant* layout = nullptr;
  ASSERT_TRUE(spinUntil([&] {
    layout = callSync(host->bus(), itemName().c_str(), "/MenuBar", "com.canonical.dbusmenu",
                      "GetLayout", g_variant_new_parsed("(0, -1, @as [])"));
    return layout != nullptr;
  }));
  // A child that is not a variant holding (ia{sv}av) crashes xfce's tray plugin.
  ASSERT_EQ(typeOf(layout), "(u(ia{sv}av))");
  GVariant* root = g_variant_get_child_value(layout, 1);
  GVariant* children = g_variant_get_child_value(root, 2);
  ASSERT_EQ(g_variant_n_children(children), 2u);
  std::map<std::string, gint32> ids;
  for (std::size_t i = 0; i < 2; ++i) {
    GVariant* boxed = g_variant_get_child_value(children, i);
    GVariant* child = g_variant_get_variant(boxed);
    ASSERT_EQ(typeOf(child), "(ia{sv}av)");
    gint32 id = 0;
    GVariant* props = nullptr;
    GVariant* grandchildren = nullptr;
    g_variant_get(child, "(i@a{sv}@av)", &id, &props, &grandchildren);
    const char* label = nullptr;
    EXPECT_TRUE(g_variant_lookup(props, "label", "&s", &label));
    if (label) ids[label] = id;
    EXPECT_EQ(g_variant_n_children(grandchildren), 0u);
    g_variant_unref(props);
    g_variant_unref(grandchildren);
    g_variant_unref(child);
    g_variant_unref(boxed);
  }
  g_variant_unref(children);
  g_variant_unref(root);
  g_variant_unref(layout);
  ASSERT_EQ(ids.size(), 2u);
  ASSERT_TRUE(ids.count("Restart") && ids.count("Quit"));

  const auto settle = [&] { spinFor(0.1); };  // the server hands events on from an idle
  const char* menu = "com.canonical.dbusmenu";
  GVariant* reply = nullptr;

  // xfce: AboutToShowGroup, then EventGroup, never Event.
  ASSERT_TRUE(call("AboutToShowGroup", g_variant_new_parsed("([0],)"), "/MenuBar", menu, &reply));
  EXPECT_EQ(typeOf(reply), "(aiai)");
  g_variant_unref(reply);
  GVariantBuilder events;
  g_variant_builder_init(&events, G_VARIANT_TYPE("a(isvu)"));
  g_variant_builder_add(&events, "(isvu)", ids["Restart"], "clicked", g_variant_new_int32(0), 0u);
  call("EventGroup", g_variant_new("(a(isvu))", &events), "/MenuBar", menu);
  settle();
  EXPECT_EQ(std::make_pair(clicks, doubleClicks), std::make_pair(1, 0));
  g_variant_builder_init(&events, G_VARIANT_TYPE("a(isvu)"));
  g_variant_builder_add(&events, "(isvu)", ids["Quit"], "clicked", g_variant_new_int32(0), 0u);
  call("EventGroup", g_variant_new("(a(isvu))", &events), "/MenuBar", menu);
  settle();
  EXPECT_EQ(std::make_pair(clicks, doubleClicks), std::make_pair(1, 1));

  // lxqt-panel and GNOME: AboutToShow, then Event ("opened" first, which does nothing).
  ASSERT_TRUE(call("AboutToShow", g_variant_new("(i)", 0), "/MenuBar", menu, &reply));
  EXPECT_EQ(typeOf(reply), "(b)");
  g_variant_unref(reply);
  call("Event", g_variant_new("(isvu)", 0, "opened", g_variant_new_string(""), 0u), "/MenuBar",
       menu);
  call("Event", g_variant_new("(isvu)", ids["Restart"], "clicked", g_variant_new_string(""), 0u),
       "/MenuBar", menu);
  settle();
  EXPECT_EQ(std::make_pair(clicks, doubleClicks), std::make_pair(2, 1));
  call("Event", g_variant_new("(isvu)", ids["Quit"], "clicked", g_variant_new_int32(0), 0u),
       "/MenuBar", menu);
  settle();
  EXPECT_EQ(std::make_pair(clicks, doubleClicks), std::make_pair(2, 2));
}

TEST_F(Tray, WaitsForALateWatcherAndComesBackWhenItRestarts) {
  makeItem();
  item->setAttributedTitle(title("< 1 minute"));
  spinFor(0.3);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("waiting"), std::string::npos) << messages[0];

  host->start();  // the panel comes up after the program
  ASSERT_TRUE(spinUntil([&] { return host->registrations.size() == 1; }, 2.0));

  // The panel is killed: its connection and name go. A new one starts.
  host.reset();
  spinFor(0.2);
  auto restarted = std::make_unique<Watcher>(daemon.address());
  restarted->start();
  ASSERT_TRUE(spinUntil([&] { return restarted->registrations.size() == 1; }, 2.0))
      << "not registered again with the new watcher";
  host = std::move(restarted);
  EXPECT_EQ(host->registrations.front().service, "/StatusNotifierItem");
  // Still one line: a panel coming and going is not news on every restart.
  EXPECT_EQ(messages.size(), 1u);
}

// Real time: the retry is a GLib timeout, about ten seconds of this test.
TEST_F(Tray, RegistrationRefusedIsSaidOnceAndTriedAgainCalmly) {
  host->start(/*reject=*/true);
  makeItem();
  item->setAttributedTitle(title("< 1 minute"));
  ASSERT_TRUE(spinUntil([&] { return !messages.empty(); }));
  const gint64 refused = g_get_monotonic_time();
  EXPECT_NE(messages[0].find("did not take the item"), std::string::npos) << messages[0];
  item->setAttributedTitle(title("1 minute"));
  EXPECT_EQ(getString("XAyatanaLabel"), "Time Sitting: 1 minute");
  // Not a busy loop: a second and a half later, still the one attempt.
  spinFor(1.5);
  EXPECT_EQ(host->registrations.size(), 1u);

  host->setRejecting(false);  // the tray recovers
  ASSERT_TRUE(spinUntil([&] { return host->registrations.size() >= 2; },
                        TrayStatusItem::kRetrySeconds + 3.0))
      << "never tried again";
  // GLib's whole-second timeouts may fire up to a second early.
  EXPECT_GE(static_cast<double>(g_get_monotonic_time() - refused) / 1e6,
            TrayStatusItem::kRetrySeconds - 1.5);
  spinFor(0.3);
  EXPECT_EQ(host->registrations.size(), 2u);  // taken: no more attempts
  EXPECT_EQ(messages.size(), 1u);
}

TEST_F(Tray, LosingTheSessionBusEndsTheProgramOnce) {
  host->start();
  makeItem();
  item->setAttributedTitle(title("< 1 minute"));
  ASSERT_TRUE(spinUntil([&] { return !host->registrations.empty(); }));
  daemon.stop();
  ASSERT_TRUE(spinUntil([&] { return busLost > 0; }));
  spinFor(0.2);
  EXPECT_EQ(busLost, 1);
  ASSERT_FALSE(messages.empty());
  EXPECT_NE(messages.back().find("session bus closed"), std::string::npos) << messages.back();
  // Drawing on after the loss is harmless until the program has ended.
  item->setAttributedTitle(title("1 minute"));
}

TEST_F(Tray, AutoWantsATrayNowButByNameItWaits) {
  GLibRunLoop loop;
  LinuxContext tried{loop, false}, named{loop, true};
  EXPECT_EQ(probeTray(tried), "");
  std::string whyNot;
  EXPECT_EQ(connectTray(tried, whyNot), nullptr);
  EXPECT_NE(whyNot.find("StatusNotifierWatcher"), std::string::npos) << whyNot;
  whyNot.clear();
  EXPECT_NE(connectTray(named, whyNot), nullptr) << whyNot;

  host->start();
  whyNot.clear();
  EXPECT_NE(connectTray(tried, whyNot), nullptr) << whyNot;

  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
  EXPECT_NE(probeTray(tried), "");
}

// The watcher comes and goes as a panel does when it is killed and started again.
void flap(std::unique_ptr<Watcher>& host, const std::string& address, double away) {
  host.reset();
  spinFor(away);
  host = std::make_unique<Watcher>(address);
  host->start();
}

TEST_F(Tray, NoTrayAtAllIsToldOnceThroughTheDesktopsNotifications) {
  Notifier notifier(daemon.address(), Notifier::Answer::shown);
  host.reset();  // no panel with a tray
  makeItem("ubuntu:GNOME", 300);
  item->setAttributedTitle(title("< 1 minute"));
  spinFor(0.15);
  EXPECT_TRUE(notifier.notes.empty()) << "told before the grace was over";
  ASSERT_TRUE(spinUntil([&] { return !notifier.notes.empty(); }, 3.0));

  const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  guint32 replaces = 0;
  gint32 timeout = 0;
  GVariant *actions = nullptr, *hints = nullptr;
  g_variant_get(notifier.notes[0], "(&su&s&s&s@as@a{sv}i)", &app, &replaces, &icon, &summary, &body,
                &actions, &hints, &timeout);
  EXPECT_STREQ(app, "Sitting Timer");
  EXPECT_EQ(replaces, 0u);
  EXPECT_EQ(std::string(summary), noTrayAdvice("ubuntu:GNOME").summary);
  EXPECT_NE(std::string(body).find("AppIndicator"), std::string::npos) << body;
  const char* entry = nullptr;
  EXPECT_TRUE(g_variant_lookup(hints, "desktop-entry", "&s", &entry));
  EXPECT_STREQ(entry ? entry : "", "sitting-timer");
  g_variant_unref(actions);
  g_variant_unref(hints);
  // The log had its line at once, and only that.
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("waiting for a tray"), std::string::npos) << messages[0];

  // The extension is turned on: the item registers, and the stale advice is withdrawn.
  host = std::make_unique<Watcher>(daemon.address());
  host->start();
  ASSERT_TRUE(spinUntil([&] { return host->registrations.size() == 1; }, 2.0));
  ASSERT_TRUE(spinUntil([&] { return !notifier.closed.empty(); }, 2.0));
  EXPECT_EQ(notifier.closed, std::vector<guint32>{41});

  // The panel flaps, away longer than the grace each time: never told again in this run.
  flap(host, daemon.address(), 0.5);
  flap(host, daemon.address(), 0.5);
  host.reset();
  spinFor(0.6);
  EXPECT_EQ(notifier.notes.size(), 1u);
  EXPECT_EQ(notifier.closed.size(), 1u);
  EXPECT_EQ(messages.size(), 1u);
}

TEST_F(Tray, ATrayWithinTheGraceMeansNoNotice) {
  Notifier notifier(daemon.address(), Notifier::Answer::shown);
  host.reset();
  // A grace long enough for a loaded machine to start the watcher in.
  makeItem("XFCE", 1500);
  item->setAttributedTitle(title("< 1 minute"));
  spinFor(0.1);
  host = std::make_unique<Watcher>(daemon.address());
  host->start();  // the panel, started after the program
  ASSERT_TRUE(spinUntil([&] { return host->registrations.size() == 1; }, 2.0));
  spinFor(1.6);
  EXPECT_TRUE(notifier.notes.empty());
  // A restart quicker than the grace is no news either.
  flap(host, daemon.address(), 0.1);
  spinFor(1.6);
  EXPECT_TRUE(notifier.notes.empty());
  EXPECT_EQ(messages.size(), 1u);  // the log's line, at the start

  // But a panel gone for good leaves the item nowhere: that is said, with the advice for a
  // desktop other than GNOME.
  host.reset();
  ASSERT_TRUE(spinUntil([&] { return !notifier.notes.empty(); }, 3.0));
  const char* body = nullptr;
  g_variant_get_child(notifier.notes[0], 4, "&s", &body);
  EXPECT_NE(std::string(body).find("system tray"), std::string::npos) << body;
  EXPECT_EQ(std::string(body).find("AppIndicator"), std::string::npos) << body;
}

TEST_F(Tray, ANotificationServerThatNeverAnswersHoldsNoTick) {
  Notifier notifier(daemon.address(), Notifier::Answer::never);
  makeItem("GNOME", 100);
  item->setAttributedTitle(title("< 1 minute"));
  // The longest the loop went without turning, from a timer of its own.
  gint64 last = g_get_monotonic_time(), longest = 0;
  struct Ticks {
    gint64 *last, *longest;
  } ticks{&last, &longest};
  const guint timer = g_timeout_add(
      10,
      [](void* data) -> int {
        auto& t = *static_cast<Ticks*>(data);
        const gint64 now = g_get_monotonic_time();
        *t.longest = std::max(*t.longest, now - *t.last);
        *t.last = now;
        return G_SOURCE_CONTINUE;
      },
      &ticks);
  ASSERT_TRUE(spinUntil([&] { return !notifier.notes.empty(); }, 3.0));
  // The host still gets its answers while the notification is unanswered.
  EXPECT_EQ(getString("Id"), "sitting-timer");
  spinFor(0.5);
  g_source_remove(timer);
  EXPECT_LT(longest, 300'000) << "the loop stood still for " << longest / 1000 << " ms";
  EXPECT_EQ(notifier.notes.size(), 1u);
  EXPECT_EQ(messages.size(), 1u);
}

TEST_F(Tray, WithoutANotificationServerTheLineIsTheOnlyWord) {
  std::string whyNot;
  GDBusConnection* bus = connectSessionBus(5.0, whyNot);
  ASSERT_NE(bus, nullptr) << whyNot;
  for (const bool server : {false, true}) {
    SCOPED_TRACE(server ? "a server that answers with an error" : "no server on the bus");
    std::unique_ptr<Notifier> notifier;
    if (server) notifier = std::make_unique<Notifier>(daemon.address(), Notifier::Answer::error);
    std::vector<std::string> lines;
    NoTrayNotice notice(
        bus, "GNOME", [&](std::string_view l) { lines.emplace_back(l); }, 50);
    notice.start("waiting for a tray");
    EXPECT_EQ(lines, std::vector<std::string>{"waiting for a tray"}) << "not said at once";
    ASSERT_TRUE(spinUntil([&] { return notice.sent(); }, 3.0));
    spinFor(0.2);  // the failure comes back
    // Trays coming and going after it: nothing more is said, nor sent again.
    notice.trayAppeared();
    notice.start("waiting for a tray");
    EXPECT_FALSE(notice.waiting());
    spinFor(0.2);
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_EQ(notifier ? notifier->notes.size() : 1u, 1u);
  }
  g_object_unref(bus);
}

// Takes `name` on `bus` as another process would, and keeps it until the end of the test.
// Queued: a name just released by an item is the test's once the release is through.
unsigned squat(GDBusConnection* bus, const std::string& name) {
  bool owned = false;
  const unsigned id = g_bus_own_name_on_connection(
      bus, name.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
      [](GDBusConnection*, const char*, void* flag) { *static_cast<bool*>(flag) = true; }, nullptr,
      &owned, nullptr);
  EXPECT_TRUE(spinUntil([&] { return owned; })) << name;
  return id;
}

TEST_F(Tray, ATakenBusNameDoesNotKeepTheItemFromTheTray) {
  host->start();
  const std::string prefix = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-";
  std::vector<unsigned> squatted = {squat(host->bus(), prefix + "1")};
  makeItem();
  item->setAttributedTitle(title("< 1 minute"));
  ASSERT_TRUE(spinUntil([&] { return host->registrations.size() == 1; }, 3.0));
  EXPECT_EQ(itemName(), prefix + "101");
  EXPECT_EQ(getString("Id"), "sitting-timer");

  // Every ID it tries is held: it goes by its unique name, and registers all the same.
  item.reset();
  for (const char* id : {"101", "201"}) squatted.push_back(squat(host->bus(), prefix + id));
  makeItem();
  item->setAttributedTitle(title("< 1 minute"));
  ASSERT_TRUE(spinUntil([&] { return host->registrations.size() == 2; }, 3.0));
  EXPECT_EQ(itemName(), host->registrations[1].sender);
  EXPECT_EQ(getString("Id"), "sitting-timer");
  EXPECT_TRUE(messages.empty()) << messages[0];
  for (unsigned id : squatted) g_bus_unown_name(id);
}

// The built program in tray mode on the test's bus, as the desktop entry starts it, with
// `environment` added (NAME=value) and no display. `beforeStart` runs with its pid before it
// starts, for taking what the program will ask for.
class TrayProgram {
 public:
  TrayProgram(const std::vector<std::string>& environment,
              const std::function<void(pid_t)>& beforeStart = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string_view v(*e);
      if (v.starts_with("DISPLAY=") || v.starts_with("WAYLAND_DISPLAY=")) continue;
      env.emplace_back(v);
    }
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<std::string> args = {SITTING_TIMER_BINARY, "--status-bar=tray"};
    std::vector<char*> argv = testing_support::cStrings(args);
    std::vector<char*> envp = testing_support::cStrings(env);
    int gate[2], err[2];
    if (pipe2(gate, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      char go = 0;
      if (read(gate[0], &go, 1) != 1) _exit(126);
      dup2(err[1], STDERR_FILENO);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(gate[0]);
    close(err[1]);
    errors_ = err[0];
    if (beforeStart) beforeStart(pid_);
    if (write(gate[1], "g", 1) != 1) ADD_FAILURE() << "the program was not started";
    close(gate[1]);
  }
  ~TrayProgram() {
    if (!status_ && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (errors_ >= 0) close(errors_);
  }
  pid_t pid() const { return pid_; }

  // utime + stime from /proc, in seconds.
  double cpuSeconds() const { return testing_support::cpuSecondsOf(pid_); }

  // SIGTERM, then the exit status if it ends within `seconds` (the loop turns meanwhile).
  std::optional<int> terminate(double seconds = 1.0) {
    kill(pid_, SIGTERM);
    spinUntil(
        [&] {
          int status = 0;
          if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
          status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        },
        seconds);
    return status_;
  }

  // What it wrote on standard error, by line; once it has ended.
  std::vector<std::string> errorLines() {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(errors_, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  pid_t pid_ = -1;
  int errors_ = -1;
  std::optional<int> status_;
};

// The item of the program registered with the test's watcher, read as a host reads it:
// whether its 22-pixel icon has dark ink in the middle of the light badge (the digits).
bool iconHasDigits(GDBusConnection* bus, const std::string& sender) {
  GVariant* reply =
      callSync(bus, sender.c_str(), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
               g_variant_new("(ss)", "org.kde.StatusNotifierItem", "IconPixmap"));
  if (!reply) return false;
  GVariant* icon = nullptr;
  g_variant_get(reply, "(v)", &icon);
  g_variant_unref(reply);
  int ink = 0;
  for (std::size_t i = 0; i < g_variant_n_children(icon); ++i) {
    gint32 w = 0, h = 0;
    GVariant* bytes = nullptr;
    g_variant_get_child(icon, i, "(ii@ay)", &w, &h, &bytes);
    gsize n = 0;
    const auto* argb = static_cast<const std::uint8_t*>(g_variant_get_fixed_array(bytes, &n, 1));
    if (w == 22 && n == 22u * 22 * 4) {
      for (int y = 6; y < 16; ++y) {
        for (int x = 6; x < 16; ++x) {
          const std::uint8_t* p = argb + (y * 22 + x) * 4;
          ink += p[0] > 200 && p[1] < 100 && p[2] < 100 && p[3] < 100;
        }
      }
    }
    g_variant_unref(bytes);
  }
  g_variant_unref(icon);
  return ink > 0;
}

bool mentions(const std::string& line, const char* word) {
  gchar* lower = g_ascii_strdown(line.c_str(), -1);
  const bool found = std::strstr(lower, word) != nullptr;
  g_free(lower);
  return found;
}

// The program, with each kind of broken font setup, and with its bus name taken: the item is
// in the tray, the program says each problem in one line at most, uses next to no CPU at
// rest, and ends on SIGTERM within a second with status 0.
TEST_F(Tray, TheProgramReachesTheTrayDespiteBrokenFontsOrATakenName) {
  host->start();
  char dir[] = "/tmp/tray-program-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string broken = std::string(dir) + "/fonts.conf";
  ASSERT_TRUE(g_file_set_contents(broken.c_str(), "<fontconfig><dir>", -1, nullptr));
  const std::string empty = std::string(dir) + "/empty.conf";
  ASSERT_TRUE(g_file_set_contents(
      empty.c_str(), "<fontconfig><dir>/nonexistent-fonts</dir></fontconfig>", -1, nullptr));

  struct Case {
    std::string name;
    std::vector<std::string> environment;
    bool takeName = false;
    int fontLines = 1;
  };
  const Case cases[] = {
      {"missing absolute", {"FONTCONFIG_FILE=" + std::string(dir) + "/missing.conf"}},
      {"missing relative", {"FONTCONFIG_FILE=missing.conf"}},
      {"not well-formed", {"FONTCONFIG_FILE=" + broken}},
      {"no fonts", {"FONTCONFIG_FILE=" + empty}},
      {"bus name taken", {}, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = host->registrations.size();
    unsigned squatted = 0;
    TrayProgram program(c.environment, [&](pid_t pid) {
      if (c.takeName) {
        squatted = squat(host->bus(), "org.kde.StatusNotifierItem-" + std::to_string(pid) + "-1");
      }
    });
    ASSERT_TRUE(spinUntil([&] { return host->registrations.size() > before; }, 10.0))
        << "never registered";
    const std::string sender = host->registrations.back().sender;
    EXPECT_TRUE(iconHasDigits(host->bus(), sender));
    const double cpu = program.cpuSeconds();
    spinFor(0.5);
    EXPECT_LT(program.cpuSeconds() - cpu, 0.05) << "CPU seconds in half a second at rest";
    EXPECT_EQ(program.terminate(1.0), std::optional<int>(0));
    const std::vector<std::string> lines = program.errorLines();
    int fontLines = 0;
    for (const std::string& line : lines) {
      EXPECT_FALSE(line.starts_with("Fontconfig")) << line;
      EXPECT_FALSE(mentions(line, "runtime error")) << line;
      EXPECT_FALSE(mentions(line, "statusnotifieritem")) << line;
      // (A sanitizer's report at exit names libraries too; the program's lines are its own.)
      fontLines += line.starts_with("sitting-timer:") && mentions(line, "font");
    }
    EXPECT_EQ(fontLines, c.fontLines) << testing::PrintToString(lines);
    if (squatted) g_bus_unown_name(squatted);
  }
  for (const std::string& file : {broken, empty}) std::remove(file.c_str());
  rmdir(dir);
}

TEST(NoTrayAdvice, GnomeShellGetsTheExtensionAndOtherDesktopsATray) {
  for (const char* shell : {"GNOME", "ubuntu:GNOME", "GNOME-Classic:GNOME", "gnome"}) {
    EXPECT_NE(noTrayAdvice(shell).body.find("AppIndicator extension"), std::string::npos) << shell;
  }
  // Budgie and GNOME Flashback name GNOME too, but their panels take a tray applet.
  for (const char* other : {"", "XFCE", "KDE", "LXQt", "X-Cinnamon", "Budgie:GNOME",
                            "GNOME-Flashback:GNOME", "sway", "GNOMEish"}) {
    const std::string body = noTrayAdvice(other).body;
    EXPECT_EQ(body.find("AppIndicator"), std::string::npos) << other;
    EXPECT_NE(body.find("system tray"), std::string::npos) << other;
  }
}

}  // namespace
