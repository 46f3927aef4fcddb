// The D-Bus idle sources against a real private dbus-daemon and a small service, on a thread
// of its own, that implements both interfaces with answers, refusals and stalls the test
// chooses. The source's clock is the test's, so ageing and retry intervals are exact; the bus
// traffic is real.
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/Provider.h"
#include "platform/linux/idle/DBusIdleSource.h"

extern char** environ;

using platform::IdleLookup;
using platform::linux_backend::DBusIdleMethod;
using platform::linux_backend::DBusIdleSource;
using platform::linux_backend::kFreedesktopScreenSaver;
using platform::linux_backend::kGnomeIdleMonitor;

namespace platform::linux_backend {

// Names a parameter by its service, not by its bytes, so that test names stay the same.
void PrintTo(const DBusIdleMethod& method, std::ostream* out) { *out << method.busName; }

}  // namespace platform::linux_backend

namespace {

constexpr std::int64_t kMs = 1'000'000;

double realNow() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

// Runs the default main context, where the source's answers arrive, until `done` or the time
// runs out; whether `done`.
bool spinUntil(const std::function<bool()>& done, double seconds = 5.0) {
  const double deadline = realNow() + seconds;
  while (!done()) {
    if (realNow() > deadline) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
  }
  return true;
}

void spin(double seconds) {
  spinUntil([] { return false; }, seconds);
}

// A dbus-daemon of the test's own, on a socket in the test's directory, so that it can be
// stopped and started again at the same address.
class PrivateBus {
 public:
  explicit PrivateBus(std::string socketPath) : socketPath_(std::move(socketPath)) {}
  ~PrivateBus() { stop(); }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Whether it started and listens.
  bool start() {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return "";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string listen = "--address=unix:path=" + socketPath_;
    const char* argv[] = {"dbus-daemon",       "--session",    "--nofork",
                          "--print-address=1", listen.c_str(), nullptr};
    const int spawned =
        posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string address;
    if (spawned != 0) {
      pid_ = -1;
    } else {
      // The daemon prints its address once it listens.
      pollfd ready{out[0], POLLIN, 0};
      char c;
      while (poll(&ready, 1, 10'000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') {
        address += c;
      }
    }
    close(out[0]);
    if (address.empty()) stop();
    return !address.empty();
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::string socketPath_;
  pid_t pid_ = -1;
};

// Both idle interfaces, served on a thread of their own, as a desktop would: a source that
// waited for an answer on the test's thread would wait forever, not pass by luck. With
// `watches`, GNOME's interface also has mutter's watches, which fire when the test says.
class FakeIdleService {
 public:
  enum class Mode { answer, refuse, stall };

  struct Watch {
    std::uint64_t intervalMs;  // 0 for a user-active watch
    std::string client;
    bool removed = false;
  };

  FakeIdleService(std::string address, std::string screenSaverPath, bool watches = false)
      : address_(std::move(address)),
        screenSaverPath_(std::move(screenSaverPath)),
        watches_(watches) {
    auto started = ready_.get_future();
    thread_ = std::thread([this] { run(); });
    ok_ = started.get();
  }
  ~FakeIdleService() {
    g_main_context_invoke(
        context_,
        [](gpointer loop) {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }
  FakeIdleService(const FakeIdleService&) = delete;
  FakeIdleService& operator=(const FakeIdleService&) = delete;

  bool ok() const { return ok_; }

  bool own(const char* name) { return busCall("RequestName", g_variant_new("(su)", name, 4u)); }
  bool release(const char* name) { return busCall("ReleaseName", g_variant_new("(s)", name)); }

  // Answers the calls held while stalled, with the idle time as it is now.
  void answerHeld() {
    onThread([this] {
      for (GDBusMethodInvocation* invocation : held_) reply(invocation);
      held_.clear();
    });
  }

  // WatchFired(id) to the client that added watch `id` (or to `client`), from this service's
  // connection: as mutter sends it, to that client alone.
  void fire(std::uint32_t id, std::string client = "") {
    if (client.empty()) client = watches()[id].client;
    onThread([this, id, client] {
      g_dbus_connection_emit_signal(connection_, client.c_str(), kGnomeIdleMonitor.paths[0],
                                    kGnomeIdleMonitor.interface, "WatchFired",
                                    g_variant_new("(u)", id), nullptr);
    });
  }

  std::map<std::uint32_t, Watch> watches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return watchList_;
  }
  // The ids of the watches in place, of one kind.
  std::vector<std::uint32_t> live(bool idle) const {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, watch] : watches()) {
      if (!watch.removed && (watch.intervalMs != 0) == idle) ids.push_back(id);
    }
    return ids;
  }

  std::atomic<Mode> mode{Mode::answer};
  std::atomic<Mode> watchMode{Mode::answer};
  std::atomic<std::uint64_t> idleMs{0};
  std::atomic<int> calls{0};

 private:
  static constexpr const char* kXml =
      "<node>"
      " <interface name='org.gnome.Mutter.IdleMonitor'>"
      "  <method name='GetIdletime'><arg type='t' direction='out'/></method>"
      " </interface>"
      " <interface name='org.freedesktop.ScreenSaver'>"
      "  <method name='GetSessionIdleTime'><arg type='u' direction='out'/></method>"
      " </interface>"
      "</node>";
  static constexpr const char* kXmlWithWatches =
      "<node>"
      " <interface name='org.gnome.Mutter.IdleMonitor'>"
      "  <method name='GetIdletime'><arg type='t' direction='out'/></method>"
      "  <method name='AddIdleWatch'>"
      "   <arg type='t' direction='in'/><arg type='u' direction='out'/></method>"
      "  <method name='AddUserActiveWatch'><arg type='u' direction='out'/></method>"
      "  <method name='RemoveWatch'><arg type='u' direction='in'/></method>"
      "  <signal name='WatchFired'><arg type='u'/></signal>"
      " </interface>"
      " <interface name='org.freedesktop.ScreenSaver'>"
      "  <method name='GetSessionIdleTime'><arg type='u' direction='out'/></method>"
      " </interface>"
      "</node>";

  // Runs `work` on the service's thread and waits until it has run.
  void onThread(std::function<void()> work) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto* call = new std::function<void()>([work = std::move(work), done] {
      work();
      *done = true;
    });
    g_main_context_invoke_full(
        context_, G_PRIORITY_DEFAULT,
        [](gpointer data) {
          (*static_cast<std::function<void()>*>(data))();
          return G_SOURCE_REMOVE;
        },
        call, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    ASSERT_TRUE(spinUntil([&] { return done->load(); }));
  }

  void run() {
    g_main_context_push_thread_default(context_);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(watches_ ? kXmlWithWatches : kXml, nullptr);
    connection_ = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
           GDBusMethodInvocation* invocation,
           gpointer self) { static_cast<FakeIdleService*>(self)->called(invocation); },
        nullptr,
        nullptr,
        {}};
    if (connection_) {
      ids_.push_back(g_dbus_connection_register_object(connection_, kGnomeIdleMonitor.paths[0],
                                                       node->interfaces[0], &vtable, this, nullptr,
                                                       nullptr));
      ids_.push_back(g_dbus_connection_register_object(connection_, screenSaverPath_.c_str(),
                                                       node->interfaces[1], &vtable, this, nullptr,
                                                       nullptr));
    }
    g_dbus_node_info_unref(node);
    ready_.set_value(connection_ != nullptr);
    g_main_loop_run(loop_);

    for (GDBusMethodInvocation* invocation : held_) {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.example.Gone", "closing");
    }
    held_.clear();
    if (connection_) {
      for (guint id : ids_) g_dbus_connection_unregister_object(connection_, id);
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
      g_object_unref(connection_);
    }
    // Lets the connection's last events go, so that nothing of it outlives the thread.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
  }

  void called(GDBusMethodInvocation* invocation) {
    const std::string method = g_dbus_method_invocation_get_method_name(invocation);
    if (method == "AddIdleWatch" || method == "AddUserActiveWatch" || method == "RemoveWatch") {
      watchCalled(method, invocation);
      return;
    }
    ++calls;
    switch (mode.load()) {
      case Mode::answer:
        reply(invocation);
        break;
      case Mode::refuse:
        g_dbus_method_invocation_return_dbus_error(
            invocation, "org.freedesktop.DBus.Error.NotSupported",
            "GetSessionIdleTime is not supported on this platform");
        break;
      case Mode::stall:
        held_.push_back(invocation);
        break;
    }
  }

  void watchCalled(const std::string& method, GDBusMethodInvocation* invocation) {
    GVariant* parameters = g_dbus_method_invocation_get_parameters(invocation);
    if (method == "RemoveWatch") {
      guint32 id = 0;
      g_variant_get(parameters, "(u)", &id);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = watchList_.find(id); it != watchList_.end()) it->second.removed = true;
      }
      g_dbus_method_invocation_return_value(invocation, nullptr);
      return;
    }
    if (watchMode.load() == Mode::refuse) {
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.DBus.Error.AccessDenied", "no watches for you");
      return;
    }
    if (watchMode.load() == Mode::stall) {
      held_.push_back(invocation);  // never answered while the service lives
      return;
    }
    guint64 interval = 0;
    if (method == "AddIdleWatch") g_variant_get(parameters, "(t)", &interval);
    guint32 id;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      id = nextWatch_++;
      watchList_[id] = {interval, g_dbus_method_invocation_get_sender(invocation)};
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", id));
  }

  void reply(GDBusMethodInvocation* invocation) {
    const std::uint64_t ms = idleMs.load();
    const bool gnome =
        g_strcmp0(g_dbus_method_invocation_get_method_name(invocation), "GetIdletime") == 0;
    g_dbus_method_invocation_return_value(invocation,
                                          gnome ? g_variant_new("(t)", static_cast<guint64>(ms))
                                                : g_variant_new("(u)", static_cast<guint32>(ms)));
  }

  bool busCall(const char* method, GVariant* args) {
    if (!connection_) return false;
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply) g_variant_unref(reply);
    return reply != nullptr;
  }

  std::string address_;
  std::string screenSaverPath_;
  bool watches_;
  mutable std::mutex mutex_;
  std::map<std::uint32_t, Watch> watchList_;
  std::uint32_t nextWatch_ = 7;  // not 1: ids are the service's, not a count
  GMainContext* context_ = g_main_context_new();
  GMainLoop* loop_ = g_main_loop_new(context_, FALSE);
  GDBusConnection* connection_ = nullptr;
  std::vector<guint> ids_;
  std::vector<GDBusMethodInvocation*> held_;  // only touched on the service's thread
  std::promise<bool> ready_;
  std::thread thread_;
  bool ok_ = false;
};

std::optional<std::int64_t> nanoseconds(const IdleLookup& lookup) {
  if (lookup.outcome != IdleLookup::Outcome::found) return std::nullopt;
  return lookup.value.number;
}

class DBusIdle : public testing::Test {
 public:
  void SetUp() override {
    gchar* found = g_find_program_in_path("dbus-daemon");
    g_free(found);
    if (!found) GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus-daemon)";
    char pattern[] = "/tmp/dbus-idle-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    dir_ = pattern;
    bus_ = std::make_unique<PrivateBus>(dir_ + "/bus");
    ASSERT_TRUE(bus_->start()) << "dbus-daemon did not start";
    // Without the daemon's guid, as a user session's address is, so that a daemon started
    // again at the same place is the same bus to the source.
    address_ = "unix:path=" + dir_ + "/bus";
    startService();
  }

  void TearDown() override {
    source.reset();
    // Lets the callbacks of whatever the source abandoned run, so that each frees its own.
    spin(0.05);
    service.reset();
    bus_.reset();
    if (!dir_.empty()) {
      unlink((dir_ + "/bus").c_str());
      rmdir(dir_.c_str());
    }
  }

  void startService(std::string screenSaverPath = "/org/freedesktop/ScreenSaver",
                    bool watches = false) {
    service = std::make_unique<FakeIdleService>(address_, std::move(screenSaverPath), watches);
    ASSERT_TRUE(service->ok());
  }

  std::unique_ptr<DBusIdleSource> connect(const DBusIdleMethod& method, std::string& whyNot,
                                          double startTimeout = 1.0) {
    return DBusIdleSource::connect(
        method, address_, [this] { return clock; }, whyNot, timing, startTimeout);
  }

  // One lookup at the test's clock, then lets the bus carry the call it sent, if any, and
  // whatever else came meanwhile (signals, names coming and going), as the program's loop
  // would between ticks.
  IdleLookup lookUp() {
    const IdleLookup lookup = source->lookUp(clock);
    EXPECT_TRUE(spinUntil([&] { return !source->waiting(); }));
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    return lookup;
  }

  // Lookups every `step` seconds of the test's clock, as the program's ticks would make them.
  // Stops early when `stop` says so; whether it did.
  bool tick(double seconds, double step, const std::function<bool(const IdleLookup&)>& stop) {
    for (const double end = clock + seconds; clock < end;) {
      clock += step;
      if (stop(lookUp())) return true;
    }
    return false;
  }

  std::vector<std::pair<double, std::optional<std::int64_t>>> slowService(
      const DBusIdleMethod& method, const std::vector<double>& lateness, double back, double end);

  // A question at every lookup, so that a test's lookups need not be a tick apart; the pacing
  // of the questions is the program's (see SlowService).
  platform::linux_backend::IdlePollTiming timing = {.askSeconds = 0};

  std::string dir_;
  std::string address_;
  std::unique_ptr<PrivateBus> bus_;
  std::unique_ptr<FakeIdleService> service;
  std::unique_ptr<DBusIdleSource> source;
  double clock = 100.0;
};

class EachService : public DBusIdle, public testing::WithParamInterface<DBusIdleMethod> {};

TEST_P(EachService, ReadsMillisecondsAgedByTheTimeSinceTheyWereAsked) {
  const DBusIdleMethod& method = GetParam();
  ASSERT_TRUE(service->own(method.busName));
  service->idleMs = 4200;
  std::string whyNot;
  source = connect(method, whyNot);
  ASSERT_TRUE(source) << whyNot;

  // The answer to the start-up call, aged; the lookup sends the next call.
  service->idleMs = 9000;
  clock = 100.5;
  EXPECT_EQ(nanoseconds(lookUp()), 4200 * kMs + 500 * kMs);
  clock = 101.25;
  EXPECT_EQ(nanoseconds(lookUp()), 9000 * kMs + 750 * kMs);

  // The user is back: seen one lookup late.
  service->idleMs = 10;
  clock = 101.5;
  EXPECT_EQ(nanoseconds(lookUp()), 9000 * kMs + 250 * kMs);
  clock = 102.0;
  EXPECT_EQ(nanoseconds(lookUp()), 10 * kMs + 500 * kMs);
  EXPECT_EQ(source->calls(), 4);
}

INSTANTIATE_TEST_SUITE_P(DBusIdle, EachService,
                         testing::Values(kGnomeIdleMonitor, kFreedesktopScreenSaver),
                         [](const auto& info) {
                           return std::string(info.index == 0 ? "Gnome" : "ScreenSaver");
                         });

TEST_F(DBusIdle, ConnectSaysPreciselyWhyNot) {
  std::string whyNot;
  EXPECT_FALSE(connect(kGnomeIdleMonitor, whyNot));
  EXPECT_EQ(whyNot, "org.gnome.Mutter.IdleMonitor is not on the session bus");

  // KDE on Wayland has the interface and refuses the call.
  ASSERT_TRUE(service->own(kFreedesktopScreenSaver.busName));
  service->mode = FakeIdleService::Mode::refuse;
  EXPECT_FALSE(connect(kFreedesktopScreenSaver, whyNot));
  EXPECT_EQ(whyNot, "org.freedesktop.ScreenSaver refuses GetSessionIdleTime: NotSupported");

  // A name without the object.
  service.reset();
  startService("/org/example/Elsewhere");
  ASSERT_TRUE(service->own(kFreedesktopScreenSaver.busName));
  EXPECT_FALSE(connect(kFreedesktopScreenSaver, whyNot));
  EXPECT_EQ(whyNot,
            "org.freedesktop.ScreenSaver has no org.freedesktop.ScreenSaver.GetSessionIdleTime "
            "at /org/freedesktop/ScreenSaver or /ScreenSaver");

  // A service that does not answer holds the start no longer than the time allowed.
  ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
  service->mode = FakeIdleService::Mode::stall;
  const double started = realNow();
  EXPECT_FALSE(connect(kGnomeIdleMonitor, whyNot, 0.3));
  EXPECT_LT(realNow() - started, 2.0);
  EXPECT_EQ(whyNot, "org.gnome.Mutter.IdleMonitor did not answer GetIdletime within 0.3 s");

  const std::string nowhere = "unix:path=" + dir_ + "/no-bus";
  EXPECT_FALSE(DBusIdleSource::connect(
      kGnomeIdleMonitor, nowhere, [] { return 0.0; }, whyNot));
  EXPECT_EQ(whyNot.rfind("cannot connect to the session bus at " + nowhere + ": ", 0), 0u)
      << whyNot;
}

TEST_F(DBusIdle, ScreenSaverIsFoundOnItsOlderPathToo) {
  service.reset();
  startService("/ScreenSaver");
  ASSERT_TRUE(service->own(kFreedesktopScreenSaver.busName));
  service->idleMs = 1234;
  std::string whyNot;
  source = connect(kFreedesktopScreenSaver, whyNot);
  ASSERT_TRUE(source) << whyNot;
  service->idleMs = 2000;
  clock = 100.5;
  lookUp();
  clock = 101.0;
  EXPECT_EQ(nanoseconds(lookUp()), 2000 * kMs + 500 * kMs);
}

TEST_F(DBusIdle, StalledServiceNeverBlocksALookupAndBecomesAFailure) {
  ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
  service->idleMs = 70'000;
  std::string whyNot;
  source = connect(kGnomeIdleMonitor, whyNot);
  ASSERT_TRUE(source) << whyNot;
  service->mode = FakeIdleService::Mode::stall;

  // Each lookup returns at once, from the answer it has, while the next may still come.
  const auto lookUpNow = [&](double at) {
    clock = at;
    const double started = realNow();
    const IdleLookup lookup = source->lookUp(clock);
    EXPECT_LT(realNow() - started, 0.5) << "lookup at " << at << " waited";
    spin(0.05);
    return nanoseconds(lookup);
  };
  EXPECT_EQ(lookUpNow(100.5), 70'500 * kMs);
  ASSERT_TRUE(spinUntil([&] { return service->calls == 2; }));
  EXPECT_EQ(lookUpNow(102.0), 72'000 * kMs);
  EXPECT_EQ(lookUpNow(105.4), 75'400 * kMs);  // a slow service is not yet a failure
  EXPECT_EQ(service->calls, 2);               // one call in flight at a time

  // After five seconds unanswered the call is given up and asked anew, and the answer before
  // it no longer stands.
  EXPECT_FALSE(lookUpNow(105.6));
  ASSERT_TRUE(spinUntil([&] { return service->calls == 3; }));
  EXPECT_EQ(source->calls(), 2);
  EXPECT_FALSE(lookUpNow(106.0));

  // The service recovers: the call in flight brings readings back.
  service->mode = FakeIdleService::Mode::answer;
  service->idleMs = 500;
  service->answerHeld();
  clock = 106.5;
  ASSERT_TRUE(spinUntil([&] { return !source->waiting(); }));
  clock = 107.0;
  EXPECT_EQ(nanoseconds(lookUp()), 500 * kMs + 1400 * kMs);
}

TEST_F(DBusIdle, VanishedNameIsAFailureTriedAgainEveryTenSeconds) {
  ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
  service->idleMs = 1000;
  std::string whyNot;
  source = connect(kGnomeIdleMonitor, whyNot);
  ASSERT_TRUE(source) << whyNot;

  ASSERT_TRUE(service->release(kGnomeIdleMonitor.busName));
  clock = 100.5;
  lookUp();  // its call finds no one
  const int callsBefore = source->calls();
  int readings = 0;
  tick(30.0, 0.3, [&](const IdleLookup& lookup) {
    readings += lookup.outcome == IdleLookup::Outcome::found;
    return false;
  });
  EXPECT_EQ(readings, 0);
  // Not one call per lookup: one per ten seconds.
  EXPECT_LE(source->calls() - callsBefore, 3);
  EXPECT_GE(source->calls() - callsBefore, 2);

  // Back: readings resume at the next try.
  ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
  service->idleMs = 300;
  const double back = clock;
  EXPECT_TRUE(tick(12.0, 0.3, [](const IdleLookup& lookup) {
    return lookup.outcome == IdleLookup::Outcome::found;
  }));
  EXPECT_LE(clock - back, 10.7);
}

TEST_F(DBusIdle, LostBusIsAFailureReconnectedCalmlyAndReadingsComeBack) {
  ASSERT_TRUE(service->own(kFreedesktopScreenSaver.busName));
  service->idleMs = 1000;
  std::string whyNot;
  source = connect(kFreedesktopScreenSaver, whyNot);
  ASSERT_TRUE(source) << whyNot;
  clock = 100.5;
  ASSERT_TRUE(nanoseconds(lookUp()));

  service.reset();
  bus_->stop();
  // Within a moment the lost connection shows, however fresh the last answer.
  ASSERT_TRUE(spinUntil([&] { return !nanoseconds(source->lookUp(clock)); }));

  int readings = 0;
  tick(30.0, 0.25, [&](const IdleLookup& lookup) {
    readings += lookup.outcome == IdleLookup::Outcome::found;
    return false;
  });
  EXPECT_EQ(readings, 0);
  EXPECT_GE(source->reconnections(), 2);
  EXPECT_LE(source->reconnections(), 3);

  // The bus and the service come back at the same address.
  ASSERT_TRUE(bus_->start());
  startService();
  ASSERT_TRUE(service->own(kFreedesktopScreenSaver.busName));
  service->idleMs = 42;
  const int before = source->reconnections();
  EXPECT_TRUE(tick(12.0, 0.25, [](const IdleLookup& lookup) {
    return lookup.outcome == IdleLookup::Outcome::found;
  }));
  EXPECT_EQ(source->reconnections(), before + 1);
}

// A service that answers late, as a loaded desktop does: each call is answered a number of
// seconds of the test's clock after it was sent (taken in turn from `lateness`), with the
// idle time as it was when the call came. The user is away from 100 s to `back`. Lookups come
// as the program makes them while blinking, every second and every 0.3 s; the readings, by
// time.
std::vector<std::pair<double, std::optional<std::int64_t>>> DBusIdle::slowService(
    const DBusIdleMethod& method, const std::vector<double>& lateness, double back, double end) {
  const double away = clock;
  timing = {};  // paced as in the program: one question a tick, none more at blink ticks
  const auto trueIdleMs = [&](double at) {
    const double since = at < back ? at - away : at - back;
    return static_cast<std::uint64_t>(std::max(0.0, since) * 1000.0 + 0.5);
  };
  EXPECT_TRUE(service->own(method.busName));
  service->idleMs = 0;
  std::string whyNot;
  source = connect(method, whyNot);
  EXPECT_TRUE(source) << whyNot;
  if (!source) return {};
  service->mode = FakeIdleService::Mode::stall;

  std::vector<std::pair<double, std::optional<std::int64_t>>> readings;
  double sentAt = -1;  // the newest call, held by the service; none while negative
  std::size_t turn = 0;
  for (int step = 1; clock < end; ++step) {
    clock = away + step * 0.1;
    if (step % 10 != 0 && step % 3 != 0) continue;
    if (sentAt >= 0 && clock >= sentAt + lateness[turn % lateness.size()] - 1e-9) {
      service->idleMs = trueIdleMs(sentAt);
      service->answerHeld();
      ++turn;
      sentAt = -1;
      EXPECT_TRUE(spinUntil([&] { return !source->waiting(); }));
    }
    const int before = source->calls();
    readings.emplace_back(clock, nanoseconds(source->lookUp(clock)));
    if (source->calls() > before) {
      // A new call, or one given up and asked again: the service answers the newest in turn.
      EXPECT_TRUE(spinUntil([&] { return service->calls == source->calls() + 1; }));
      sentAt = clock;
    }
  }
  return readings;
}

class SlowService
    : public DBusIdle,
      public testing::WithParamInterface<std::tuple<DBusIdleMethod, std::vector<double>>> {};

TEST_P(SlowService, LateAnswersAreAgedAndUsedNotTakenForFailures) {
  const auto& [method, lateness] = GetParam();
  const double away = clock, back = 180.0;
  const auto readings = slowService(method, lateness, back, 200.0);
  ASSERT_FALSE(readings.empty());
  int missing = 0;
  std::optional<double> returnSeen;
  for (const auto& [at, reading] : readings) {
    if (!reading) {
      ++missing;
      continue;
    }
    const double seconds = static_cast<double>(*reading) / 1e9;
    if (at < back) {
      // Exact while the user stays away: an answer aged by the time since it was asked.
      EXPECT_NEAR(seconds, at - away, 0.002) << "at " << at;
    } else if (!returnSeen && seconds < 10.0) {
      returnSeen = at;
    }
  }
  // Never "Can't find idle time": a late answer is a slow source, not a failure.
  EXPECT_EQ(missing, 0);
  // And the return is seen with the first answer asked for after it: at worst, the one in
  // flight at the return comes late, then the next.
  ASSERT_TRUE(returnSeen);
  const double slowest = *std::max_element(lateness.begin(), lateness.end());
  EXPECT_LE(*returnSeen - back, 2 * slowest + 1.0 + 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    DBusIdle, SlowService,
    testing::Combine(testing::Values(kGnomeIdleMonitor, kFreedesktopScreenSaver),
                     testing::Values(std::vector<double>{0.5}, std::vector<double>{1.5},
                                     std::vector<double>{3.0},
                                     std::vector<double>{0.1, 2.5, 0.4, 1.6, 3.0})),
    [](const auto& info) {
      const auto& lateness = std::get<1>(info.param);
      std::string name = std::get<0>(info.param).watches ? "Gnome" : "ScreenSaver";
      name += lateness.size() > 1
                  ? "Alternating"
                  : "Late" + std::to_string(static_cast<int>(lateness[0] * 1000)) + "ms";
      return name;
    });

TEST_F(DBusIdle, ServiceSlowerThanTheGiveUpTimeIsOneEpisodeOfFailure) {
  const auto readings = slowService(kFreedesktopScreenSaver, {6.0}, 1000.0, 160.0);
  int episodes = 0;
  bool failing = false;
  for (const auto& [at, reading] : readings) {
    episodes += !reading && !failing;
    failing = !reading;
  }
  EXPECT_EQ(episodes, 1);
  EXPECT_TRUE(failing);
  // One call per give-up interval, not one per tick.
  EXPECT_LE(source->calls(), 60 / 5 + 2);
}

// GNOME's watches, against a service that has them and fires them when the test says.
class Watches : public DBusIdle {
 protected:
  void SetUp() override {
    DBusIdle::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    service.reset();
    startService("/org/freedesktop/ScreenSaver", true);
    ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
  }

  // Connected, with the idle watch in place.
  void watch() {
    std::string whyNot;
    source = connect(kGnomeIdleMonitor, whyNot);
    ASSERT_TRUE(source) << whyNot;
    ASSERT_TRUE(tick(3.0, 1.0, [&](const IdleLookup&) { return source->watching(); }));
    ASSERT_EQ(service->live(true).size(), 1u);
  }

  // Lets a signal the service sent reach the source, with room for a loaded machine.
  void settle() { spin(0.25); }
};

TEST_F(Watches, IdleWatchFiresThenUserActiveWatchAndAWorkingUserCostsNothing) {
  ASSERT_NO_FATAL_FAILURE(watch());
  const std::uint32_t idleId = service->live(true)[0];
  EXPECT_EQ(service->watches()[idleId].intervalMs, 60'000u);
  EXPECT_TRUE(service->live(false).empty());  // no user-active watch while the user works

  // Working: no call at all, and a reading of 0.
  const int calls = service->calls, watchCalls = source->watchCalls();
  EXPECT_FALSE(tick(120.0, 1.0, [](const IdleLookup& lookup) {
    return lookup.outcome != IdleLookup::Outcome::found || lookup.value.number != 0;
  }));
  EXPECT_EQ(service->calls, calls);
  EXPECT_EQ(source->watchCalls(), watchCalls);

  // Away: from the watch's 60 s on, the reading grows with the clock.
  service->fire(idleId);
  settle();
  const double firedAt = clock;
  ASSERT_TRUE(spinUntil([&] { return service->live(false).size() == 1; }));
  clock += 5.5;
  EXPECT_EQ(nanoseconds(lookUp()), (60'000 + 5'500) * kMs);
  clock = firedAt + 30.0;
  EXPECT_EQ(nanoseconds(lookUp()), 90 * kMs * 1000);
  EXPECT_EQ(service->calls, calls);  // still not one question

  // Back: 0 at the next lookup; the idle watch stays for the next time, which works the same.
  service->fire(service->live(false)[0]);
  settle();
  clock += 1.0;
  EXPECT_EQ(nanoseconds(lookUp()), 0);
  EXPECT_EQ(service->live(true), std::vector<std::uint32_t>{idleId});
  service->fire(idleId);
  settle();
  clock += 2.0;
  EXPECT_EQ(nanoseconds(lookUp()), 62'000 * kMs);
  EXPECT_EQ(source->watchCalls(), watchCalls + 2);
  EXPECT_EQ(source->strangeFires(), 0);
}

TEST_F(Watches, FiresNotOursLateOrFromAnotherSenderChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(watch());
  const std::uint32_t idleId = service->live(true)[0];
  const std::string us = service->watches()[idleId].client;

  // An id that was never ours.
  service->fire(idleId + 100, us);
  settle();
  clock += 1.0;
  EXPECT_EQ(nanoseconds(lookUp()), 0);

  // Our id, from someone else on the bus: only the service's own word counts.
  FakeIdleService impostor(address_, "/elsewhere");
  ASSERT_TRUE(impostor.ok());
  impostor.fire(idleId, us);
  settle();
  clock += 1.0;
  EXPECT_EQ(nanoseconds(lookUp()), 0);

  // Away, back, and the user-active watch fired again, late: the user stays back.
  service->fire(idleId);
  settle();
  ASSERT_TRUE(spinUntil([&] { return service->live(false).size() == 1; }));
  const std::uint32_t activeId = service->live(false)[0];
  service->fire(activeId);
  settle();
  clock += 1.0;
  EXPECT_EQ(nanoseconds(lookUp()), 0);
  service->fire(activeId, us);
  settle();
  clock += 1.0;
  EXPECT_EQ(nanoseconds(lookUp()), 0);
  EXPECT_EQ(source->strangeFires(), 3);
}

TEST_F(Watches, ServiceWithoutWatchesOrRefusingThemIsPolled) {
  for (const bool refusing : {false, true}) {
    SCOPED_TRACE(refusing ? "refusing" : "without the methods");
    source.reset();
    service.reset();
    startService("/org/freedesktop/ScreenSaver", refusing);
    service->watchMode = FakeIdleService::Mode::refuse;
    ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
    service->idleMs = 1000;
    std::string whyNot;
    source = connect(kGnomeIdleMonitor, whyNot);
    ASSERT_TRUE(source) << whyNot;
    const int before = service->calls;
    tick(5.0, 1.0, [](const IdleLookup&) { return false; });
    EXPECT_FALSE(source->watching());
    EXPECT_EQ(source->watchCalls(), 1);  // asked once, not at every lookup
    EXPECT_EQ(service->calls - before, 5);
    service->idleMs = 4000;
    clock += 1.0;
    lookUp();
    clock += 1.0;
    EXPECT_EQ(nanoseconds(lookUp()), 5000 * kMs);
  }
}

TEST_F(Watches, AddedAgainWhenTheServiceOrTheBusComesBack) {
  ASSERT_NO_FATAL_FAILURE(watch());
  const std::uint32_t first = service->live(true)[0];

  // The service goes: one episode without readings, and no call beyond the polling's pace.
  ASSERT_TRUE(service->release(kGnomeIdleMonitor.busName));
  settle();
  int readings = 0;
  const int calls = source->calls();
  tick(25.0, 1.0, [&](const IdleLookup& lookup) {
    readings += lookup.outcome == IdleLookup::Outcome::found;
    return false;
  });
  EXPECT_EQ(readings, 0);
  EXPECT_LE(source->calls() - calls, 3);

  // Back: a new idle watch, and readings from it.
  ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
  ASSERT_TRUE(tick(3.0, 1.0, [&](const IdleLookup&) { return source->watching(); }));
  const auto again = service->live(true);
  ASSERT_EQ(again.size(), 2u);  // the stand-in keeps the first one: it cannot see us go
  const std::uint32_t second = again[0] == first ? again[1] : again[0];
  service->fire(first);  // the old one is no longer ours
  settle();
  clock += 1.0;
  EXPECT_EQ(nanoseconds(lookUp()), 0);
  service->fire(second);
  settle();
  clock += 1.0;
  EXPECT_EQ(nanoseconds(lookUp()), 61'000 * kMs);

  // The bus goes and comes back with a new service: watched again on the new connection.
  service.reset();
  bus_->stop();
  ASSERT_TRUE(spinUntil([&] { return !nanoseconds(source->lookUp(clock)); }));
  ASSERT_TRUE(bus_->start());
  startService("/org/freedesktop/ScreenSaver", true);
  ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
  EXPECT_TRUE(tick(15.0, 1.0, [&](const IdleLookup&) { return source->watching(); }));
  EXPECT_EQ(service->live(true).size(), 1u);
  clock += 1.0;
  EXPECT_EQ(nanoseconds(lookUp()), 0);  // what was true before the loss is void
}

// Lookups every `step` seconds for `seconds`, without waiting for calls that may never be
// answered; how many episodes of failure they saw, and whether the last lookup failed.
std::pair<int, bool> failureEpisodes(DBusIdle& test, double seconds, double step) {
  int episodes = 0;
  bool failing = false;
  for (const double end = test.clock + seconds; test.clock < end;) {
    test.clock += step;
    const bool failed = !nanoseconds(test.source->lookUp(test.clock));
    spin(0.01);
    episodes += failed && !failing;
    failing = failed;
  }
  return {episodes, failing};
}

TEST_F(Watches, UserActiveWatchNeverMadeFallsBackToPollingWithoutAFlood) {
  timing = {};  // paced as in the program
  ASSERT_NO_FATAL_FAILURE(watch());
  service->watchMode = FakeIdleService::Mode::stall;  // AddUserActiveWatch is never answered
  service->fire(service->live(true)[0]);
  settle();
  const int calls = source->calls();
  service->idleMs = 62'000;
  clock += 2.0;
  EXPECT_EQ(nanoseconds(source->lookUp(clock)), 62'000 * kMs);
  // Given up after five seconds: from then on the service is asked, once a tick.
  const auto [episodes, failing] = failureEpisodes(*this, 20.0, 0.3);
  EXPECT_LE(episodes, 1);
  EXPECT_FALSE(failing);
  EXPECT_FALSE(source->watching());
  EXPECT_EQ(source->watchCalls(), 3);  // the idle watch, the user-active one, its removal
  EXPECT_GE(source->calls() - calls, 12);
  EXPECT_LE(source->calls() - calls, 20);
  service->idleMs = 10;
  clock += 1.0;
  source->lookUp(clock);
  spin(0.05);
  clock += 1.0;
  EXPECT_EQ(nanoseconds(source->lookUp(clock)), 1010 * kMs);
}

TEST_F(Watches, ServiceGoingBetweenTheTwoWatchesIsOneEpisode) {
  ASSERT_NO_FATAL_FAILURE(watch());
  service->watchMode = FakeIdleService::Mode::stall;
  service->fire(service->live(true)[0]);
  settle();
  ASSERT_TRUE(service->release(kGnomeIdleMonitor.busName));
  settle();
  const int calls = source->calls();
  const auto [episodes, failing] = failureEpisodes(*this, 30.0, 0.3);
  EXPECT_EQ(episodes, 1);
  EXPECT_TRUE(failing);
  EXPECT_LE(source->calls() - calls, 3);  // one call each ten seconds
  EXPECT_EQ(source->watchCalls(), 2);
}

TEST_F(Watches, RemovedWhenTheSourceEnds) {
  ASSERT_NO_FATAL_FAILURE(watch());
  service->fire(service->live(true)[0]);
  settle();
  ASSERT_TRUE(spinUntil([&] { return service->live(false).size() == 1; }));
  clock += 1.0;
  lookUp();
  source.reset();
  EXPECT_TRUE(
      spinUntil([&] { return service->live(true).empty() && service->live(false).empty(); }));
}

TEST_F(DBusIdle, SourceDestroyedWithACallInFlightIsNotCalledBack) {
  ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
  std::string whyNot;
  source = connect(kGnomeIdleMonitor, whyNot);
  ASSERT_TRUE(source) << whyNot;
  service->mode = FakeIdleService::Mode::stall;
  clock = 100.5;
  source->lookUp(clock);
  ASSERT_TRUE(spinUntil([&] { return service->calls == 2; }));
  source.reset();
  service->answerHeld();
  spin(0.2);  // the reply, if it reached a freed source, would show under the sanitizers
}

TEST_F(DBusIdle, ProviderTableFindsTheBusThroughTheEnvironment) {
  using platform::linux_backend::GLibRunLoop;
  using platform::linux_backend::LinuxContext;
  const char* kept = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string keptAddress = kept ? kept : "";
  const char* keptDir = std::getenv("XDG_RUNTIME_DIR");
  const std::string keptRuntimeDir = keptDir ? keptDir : "";

  GLibRunLoop loop;
  LinuxContext context{loop, true};
  const auto table = platform::linux_backend::idleSourceProviders();

  // No address, no socket: the probe says so without connecting.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  setenv("XDG_RUNTIME_DIR", (dir_ + "/empty").c_str(), 1);
  auto choice = platform::choose(table, "gnome", context);
  EXPECT_FALSE(choice.part);
  EXPECT_EQ(choice.failures,
            "gnome: no session bus (DBUS_SESSION_BUS_ADDRESS is not set and $XDG_RUNTIME_DIR/bus "
            "does not exist)");

  // The private bus's socket is where a user session keeps its own.
  setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  EXPECT_EQ(platform::linux_backend::sessionBusAddress(), "unix:path=" + dir_ + "/bus");
  ASSERT_TRUE(service->own(kGnomeIdleMonitor.busName));
  choice = platform::choose(table, "gnome", context);
  EXPECT_TRUE(choice.part) << choice.failures;
  choice = platform::choose(table, "freedesktop-screensaver", context);
  EXPECT_FALSE(choice.part);
  EXPECT_EQ(choice.failures,
            "freedesktop-screensaver: org.freedesktop.ScreenSaver is not on the session bus");

  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  EXPECT_EQ(platform::linux_backend::sessionBusAddress(), "unix:path=/nonexistent");

  if (kept) {
    setenv("DBUS_SESSION_BUS_ADDRESS", keptAddress.c_str(), 1);
  } else {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  if (keptDir) {
    setenv("XDG_RUNTIME_DIR", keptRuntimeDir.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
