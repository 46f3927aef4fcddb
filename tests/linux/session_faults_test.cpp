// The built program against a hostile or broken session: standard error that nobody reads, a
// caller on the session bus that floods the item with mistaken calls, the bus closing under
// it, and servers that accept a connection and never speak while it starts. Each case checks
// that SIGTERM still ends it within a second with status 0, that it stays near idle (CPU time
// from /proc, never a duration) and that each kind of message is written once.
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "PrivateBus.h"

namespace {

using testing_support::connectTo;
using testing_support::Pipe;
using testing_support::PrivateBus;
using testing_support::readFor;

using Clock = std::chrono::steady_clock;

// Well below a spinning loop (a whole core) and above what a loaded machine adds to a program
// that only wakes for its one-second tick.
constexpr double kIdleShare = 0.05;

void sleepFor(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// The program with `err` as standard error, `out` (else /dev/null) as 0 and 1, and the given
// environment over a clean one (no display, no Wayland, no session bus unless given).
class Program {
 public:
  Program(std::vector<std::string> args, int err, std::vector<std::string> env, int out = -1) {
    env.insert(env.begin(), {"PATH=/usr/bin:/bin", "HOME=/nonexistent"});
    if (const char* lsan = std::getenv("LSAN_OPTIONS"))
      env.push_back(std::string("LSAN_OPTIONS=") + lsan);
    args.insert(args.begin(), SITTING_TIMER_BINARY);
    std::vector<char*> argv = testing_support::cStrings(args);
    std::vector<char*> envp = testing_support::cStrings(env);
    pid_ = fork();
    if (pid_ == 0) {
      const int moved = fcntl(err, F_DUPFD, 100);
      const int null = out >= 0 ? fcntl(out, F_DUPFD, 100) : open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(moved, 2);
      closefrom(3);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
  }
  ~Program() {
    if (!status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

  // utime + stime, in seconds.
  double cpuSeconds() const { return testing_support::cpuSecondsOf(pid_); }
  double cpuShareOver(double seconds) const {
    const double before = cpuSeconds();
    sleepFor(seconds);
    return (cpuSeconds() - before) / seconds;
  }

  // The exit status, once it has ended within `seconds`.
  std::optional<int> waitFor(double seconds) {
    return testing_support::waitForExit(pid_, status_, seconds);
  }
  std::optional<int> signal(int signal, double seconds) {
    kill(pid_, signal);
    return waitFor(seconds);
  }
  std::optional<int> terminate(double seconds = 1.0) { return signal(SIGTERM, seconds); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The test's side of the bus: a StatusNotifierWatcher that takes every item, and a caller.
class Desktop {
 public:
  explicit Desktop(const std::string& address) {
    bus_ = connectTo(address);
    if (bus_) g_dbus_connection_set_exit_on_close(bus_, FALSE);
  }
  ~Desktop() {
    watcher_.reset();
    if (bus_) g_object_unref(bus_);
  }
  GDBusConnection* bus() const { return bus_; }

  void startWatcher() { watcher_ = std::make_unique<testing_support::CountingWatcher>(bus_); }

  // Sends every call at once and waits for all the answers, at most `seconds`; how many came.
  int callAll(
      const std::string& destination,
      const std::vector<
          std::function<std::tuple<const char*, const char*, const char*, GVariant*>(int)>>& kinds,
      int count, double seconds) {
    struct Counter {
      int answered = 0;
    };
    auto counter = std::make_shared<Counter>();
    // A few dozen calls in flight at a time: the item drops a caller's calls past 64 waiting
    // for answers, and every one of these must reach it.
    constexpr int kInFlight = 32;
    const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    for (int i = 0; i < count; ++i) {
      if (!spin([&] { return i - counter->answered < kInFlight; },
                static_cast<double>(end - g_get_monotonic_time()) / 1e6)) {
        break;
      }
      auto [path, interface, method, args] = kinds[static_cast<std::size_t>(i) % kinds.size()](i);
      g_dbus_connection_call(
          bus_, destination.c_str(), path, interface, method, args, nullptr, G_DBUS_CALL_FLAGS_NONE,
          20000, nullptr,
          [](GObject* source, GAsyncResult* result, void* data) {
            auto* c = static_cast<std::shared_ptr<Counter>*>(data);
            GVariant* reply =
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            if (reply) g_variant_unref(reply);
            ++(*c)->answered;
            delete c;
          },
          new std::shared_ptr<Counter>(counter));
    }
    spin([&] { return counter->answered == count; },
         static_cast<double>(end - g_get_monotonic_time()) / 1e6);
    return counter->answered;
  }

  // One property of the item, asked and answered within `seconds`.
  bool answers(const std::string& destination, double seconds) {
    bool done = false, ok = false;
    struct Call {
      bool* done;
      bool* ok;
    } call{&done, &ok};
    g_dbus_connection_call(
        bus_, destination.c_str(), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Id"), nullptr, G_DBUS_CALL_FLAGS_NONE,
        static_cast<int>(seconds * 1000), nullptr,
        [](GObject* source, GAsyncResult* result, void* data) {
          auto& c = *static_cast<Call*>(data);
          GVariant* reply =
              g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
          *c.ok = reply != nullptr;
          if (reply) g_variant_unref(reply);
          *c.done = true;
        },
        &call);
    spin([&] { return done; }, seconds + 1);
    return ok;
  }

  bool hasOwner(const std::string& name) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply) {
      g_variant_get(reply, "(b)", &owned);
      g_variant_unref(reply);
    }
    return owned;
  }

  static bool spin(const std::function<bool()>& done, double seconds) {
    const gint64 end = g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6);
    const guint wake = g_timeout_add(
        5, [](void*) -> int { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && g_get_monotonic_time() < end) g_main_context_iteration(nullptr, TRUE);
    g_source_remove(wake);
    return done();
  }

  int registrations() const { return watcher_ ? watcher_->registrations : 0; }

 private:
  GDBusConnection* bus_ = nullptr;
  std::unique_ptr<testing_support::CountingWatcher> watcher_;
};

using Call = std::function<std::tuple<const char*, const char*, const char*, GVariant*>(int)>;

// Mistakes a caller can make, each with an id or name of its own at every call: the menu's
// methods for items that do not exist, and the item's for properties and arguments that do
// not. None is the program's fault, and none may make it write a line each.
constexpr const char* menu = "/MenuBar";
constexpr const char* dbusmenu = "com.canonical.dbusmenu";

std::vector<Call> hostileCalls() {
  return {
      [](int i) {
        // The items that exist, and some that do not.
        GVariantBuilder ids;
        g_variant_builder_init(&ids, G_VARIANT_TYPE("ai"));
        for (int k = 0; k < 3; ++k) g_variant_builder_add(&ids, "i", k);
        for (int k = 0; k <= i % 8; ++k) g_variant_builder_add(&ids, "i", 1000 + i + k);
        return std::tuple{menu, dbusmenu, "AboutToShowGroup", g_variant_new("(ai)", &ids)};
      },
      [](int) {
        return std::tuple{menu, dbusmenu, "AboutToShow", g_variant_new("(i)", 1)};
      },
      [](int i) {
        return std::tuple{menu, dbusmenu, "AboutToShow", g_variant_new("(i)", 5000 + i)};
      },
      [](int i) {
        return std::tuple{menu, dbusmenu, "Event",
                          g_variant_new("(isvu)", 7000 + i, "clicked", g_variant_new_int32(0),
                                        static_cast<guint32>(i))};
      },
      [](int i) {
        return std::tuple{menu, dbusmenu, "GetProperty", g_variant_new("(is)", 9000 + i, "label")};
      },
      [](int i) {
        return std::tuple{menu, dbusmenu, "GetLayout",
                          g_variant_new("(ii@as)", 11000 + i, -1, g_variant_new_strv(nullptr, 0))};
      },
      [](int i) {
        const std::string property = "NoSuchProperty" + std::to_string(i);
        return std::tuple{"/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", "org.kde.StatusNotifierItem", property.c_str())};
      },
      [](int i) {
        return std::tuple{"/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                          g_variant_new("(s)", std::to_string(i).c_str())};
      },
  };
}

constexpr int kHostileCalls = 1000;

// The tray item on a private bus, with standard error on a pipe of the test's.
struct Session : testing::Test {
  PrivateBus daemon;
  std::unique_ptr<Desktop> desktop;
  Pipe err;
  std::unique_ptr<Program> program;
  std::string itemName;

  void start(bool watcher, bool stallStandardError) {
    ASSERT_FALSE(daemon.address().empty()) << "dbus-daemon did not start";
    desktop = std::make_unique<Desktop>(daemon.address());
    ASSERT_NE(desktop->bus(), nullptr);
    if (watcher) desktop->startWatcher();
    if (stallStandardError) err.fill();
    program = std::make_unique<Program>(
        std::vector<std::string>{"--status-bar=tray"}, err.write,
        std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + daemon.address()});
    itemName = "org.kde.StatusNotifierItem-" + std::to_string(program->pid()) + "-1";
    ASSERT_TRUE(Desktop::spin([&] { return desktop->hasOwner(itemName); }, 10.0))
        << "the item never took its name";
    if (watcher) {
      ASSERT_TRUE(Desktop::spin([&] { return desktop->registrations() > 0; }, 5.0));
    }
  }
};

TEST_F(Session, HostileCallerWritesNoMoreThanALinePerKindOfMessage) {
  start(true, false);
  const std::string before = readFor(err.read, 0.3);
  ASSERT_EQ(desktop->callAll(itemName, hostileCalls(), kHostileCalls, 30.0), kHostileCalls);
  const std::vector<std::string> lines = linesOf(readFor(err.read, 0.5));
  std::printf("lines on standard error per %d hostile calls: %zu\n", kHostileCalls, lines.size());
  for (const std::string& line : lines) std::printf("  %s\n", line.c_str());
  // The menu library has a handful of distinct warnings for these; each may be said once.
  EXPECT_LE(lines.size(), 6u);
  // Again, at once: the same kinds are no news.
  ASSERT_EQ(desktop->callAll(itemName, hostileCalls(), kHostileCalls, 30.0), kHostileCalls);
  EXPECT_EQ(linesOf(readFor(err.read, 0.5)).size(), 0u);
  EXPECT_TRUE(desktop->answers(itemName, 2.0));
  EXPECT_LT(program->cpuShareOver(1.5), kIdleShare);
  EXPECT_EQ(program->terminate(), 0);
}

TEST_F(Session, StandardErrorThatNobodyReadsBlocksNothing) {
  // No watcher, so that the item has its own line to say, besides the libraries' warnings.
  start(false, true);
  ASSERT_EQ(desktop->callAll(itemName, hostileCalls(), kHostileCalls, 30.0), kHostileCalls);
  EXPECT_TRUE(desktop->answers(itemName, 2.0));
  EXPECT_LT(program->cpuShareOver(1.5), kIdleShare);
  // Read again, the log gets what waited, and the program goes back to sleep: it watches for
  // room only while something waits.
  const std::string got = readFor(err.read, 1.5);
  EXPECT_NE(got.find("sitting-timer: tray: waiting for a tray"), std::string::npos);
  EXPECT_LT(program->cpuShareOver(1.5), kIdleShare);
  EXPECT_EQ(program->terminate(), 0);
}

TEST(StalledStandardError, BlocksNoBarAtStartOrLater) {
  // Each bar says at start that there is no idle source, and "Can't find idle time" at its
  // first tick: both into a pipe that is already full.
  Pipe err;
  err.fill();
  int master = -1, terminal = -1;
  ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(terminal, F_SETFD, FD_CLOEXEC);
  const std::vector<std::string> env = {"TERM=dumb", "XDG_RUNTIME_DIR=/nonexistent"};
  std::vector<std::unique_ptr<Program>> programs;
  programs.push_back(
      std::make_unique<Program>(std::vector<std::string>{"--status-bar=i3bar"}, err.write, env));
  programs.push_back(std::make_unique<Program>(std::vector<std::string>{"--status-bar=terminal"},
                                               err.write, env, terminal));
  sleepFor(1.0);
  for (auto& program : programs) EXPECT_LT(program->cpuShareOver(1.0), kIdleShare);
  readFor(master, 0.05);
  for (auto& program : programs) EXPECT_EQ(program->terminate(), 0);
  close(master);
  close(terminal);
}

TEST_F(Session, BusClosingEndsTheProgramWithOneLineAndNothingAfter) {
  // Killed, the daemon drops every connection at once: the item hears of nothing but its own.
  start(true, false);
  readFor(err.read, 0.3);
  daemon.stop(SIGKILL);
  EXPECT_EQ(program->waitFor(1.0), 0);
  const std::vector<std::string> lines = linesOf(readFor(err.read, 0.5));
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
  EXPECT_NE(lines[0].find("the session bus closed"), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("quitting")) << lines[0];
}

TEST_F(Session, BusShuttingDownEndsTheProgramWithTheQuittingLineAlone) {
  // Shutting down in order, the daemon may first tell the item that the watcher's name went
  // (the watcher's connection closed before the item's): that is no tray going away, and the
  // quitting line is the only word.
  start(true, false);
  readFor(err.read, 0.3);
  daemon.stop(SIGTERM);
  EXPECT_EQ(program->waitFor(1.0), 0);
  const std::vector<std::string> lines = linesOf(readFor(err.read, 0.5));
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
  EXPECT_TRUE(lines.back().ends_with("quitting")) << testing::PrintToString(lines);
}

// Listens where a server would and never answers: the kernel accepts connections into the
// backlog, and whoever connects waits for a greeting that never comes.
class SilentServer {
 public:
  explicit SilentServer(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    unlink(path.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 64) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~SilentServer() {
    if (fd_ >= 0) close(fd_);
  }
  bool listening() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

TEST(StartUp, SignalEndsTheProgramWithinASecondWhileEveryProbeWaitsForASilentServer) {
  char dir[] = "/tmp/sitting-timer-silent.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string runtime = dir;
  SilentServer wayland(runtime + "/wayland-0"), bus(runtime + "/bus");
  ASSERT_TRUE(wayland.listening() && bus.listening());
  const std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime, "WAYLAND_DISPLAY=wayland-0",
                                        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus"};
  // Each bar, at moments within the first probe and within later ones: the tray waits 3 s
  // for its bus (and then ends, with status 2, since it was asked for by name); the idle
  // sources wait 2 s for each Wayland protocol and about 1.5 s for each D-Bus service, one
  // after another.
  // Any of the signals that end the program will do.
  struct Case {
    std::string bar;
    double after;
    int signal;
    std::unique_ptr<Program> program;
    std::optional<int> status;
    double cpuShare = 0;
  };
  std::vector<Case> cases;
  cases.push_back({"--status-bar=tray", 0.3, SIGTERM, nullptr, std::nullopt});
  cases.push_back({"--status-bar=tray", 1.5, SIGINT, nullptr, std::nullopt});
  cases.push_back({"--status-bar=tray", 2.5, SIGHUP, nullptr, std::nullopt});
  cases.push_back({"--status-bar=i3bar", 0.3, SIGTERM, nullptr, std::nullopt});
  cases.push_back({"--status-bar=i3bar", 2.5, SIGTERM, nullptr, std::nullopt});
  cases.push_back({"--status-bar=i3bar", 4.5, SIGQUIT, nullptr, std::nullopt});
  cases.push_back({"--status-bar=i3bar", 6.0, SIGTERM, nullptr, std::nullopt});
  std::sort(cases.begin(), cases.end(), [](auto& a, auto& b) { return a.after < b.after; });
  Pipe err;
  for (Case& c : cases) c.program = std::make_unique<Program>(std::vector{c.bar}, err.write, env);
  const auto started = Clock::now();
  for (Case& c : cases) {
    std::this_thread::sleep_until(started + std::chrono::duration<double>(c.after));
    c.cpuShare = c.program->cpuSeconds() / c.after;
    c.status = c.program->signal(c.signal, 1.0);
  }
  for (Case& c : cases) {
    const std::string what =
        c.bar + ", " + strsignal(c.signal) + " " + std::to_string(c.after) + " s after start";
    EXPECT_EQ(c.status, 0) << what;
    // Waiting in slices to look for a signal must not cost a busy loop; the first moments,
    // which load the program, are not measured.
    if (c.after >= 2) {
      EXPECT_LT(c.cpuShare, kIdleShare) << what;
    }
  }
  // Nothing was wrong but the silence: a signal is no failure to report.
  EXPECT_EQ(readFor(err.read, 0.2), "");
  unlink((runtime + "/wayland-0").c_str());
  unlink((runtime + "/bus").c_str());
  rmdir(dir);
}

}  // namespace
