// The built program in the tray against a hostile caller on a private dbus-daemon: 20,000
// property and menu calls in a few seconds, their answers read or never read. Resident memory
// must stay near where it was, the program idle once the burst is over, a host's own call
// answered, and SIGTERM acted on within a second. Memory and CPU time come from /proc.
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "PrivateBus.h"

namespace {

using testing_support::connectTo;

using Clock = std::chrono::steady_clock;

constexpr int kCalls = 20'000;

// AddressSanitizer holds freed memory in a quarantine of 256 MiB, so under it resident memory
// says nothing about the program's own: there the figures are printed, not judged.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif
// What a burst may leave held, and what a program that wakes once a second may use of a core.
constexpr double kHeldMiB = 32.0;
constexpr double kIdleShare = 0.05;

void sleepFor(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Turns the test's main context, where its watcher lives, until `done` or the deadline.
bool spinUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done() && Clock::now() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
    sleepFor(0.005);
  }
  return done();
}

// A child process with its standard output on a pipe the test reads.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::vector<std::string>& env) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> environment = env;
    std::vector<char*> args = testing_support::cStrings(argv);
    std::vector<char*> envp = testing_support::cStrings(environment);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(out[1], STDOUT_FILENO);
      const int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDERR_FILENO);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~Child() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  pid_t pid() const { return pid_; }

  // The first line of standard output, read within `seconds`.
  std::string line(double seconds) {
    std::string got;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    fcntl(out_, F_SETFL, O_NONBLOCK);
    while (got.find('\n') == std::string::npos && Clock::now() < deadline) {
      char c[256];
      const ssize_t n = read(out_, c, sizeof c);
      if (n > 0) {
        got.append(c, static_cast<std::size_t>(n));
      } else if (n == 0) {
        break;
      } else {
        sleepFor(0.01);
      }
    }
    return got.substr(0, got.find('\n'));
  }

  std::optional<int> waitFor(double seconds) {
    return testing_support::waitForExit(pid_, status_, seconds);
  }

  double residentMiB() const { return testing_support::residentMiBOf(pid_); }
  // utime + stime, in seconds.
  double cpuSeconds() const { return testing_support::cpuSecondsOf(pid_); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::optional<int> status_;
};

std::vector<std::string> environmentWith(const std::string& busAddress) {
  std::vector<std::string> env = testing_support::environmentWithoutSession();
  env.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress);
  return env;
}

// The desktop: a private bus, and a watcher on it that takes every registration.
struct TrayFlood : testing::Test {
  std::unique_ptr<Child> daemon;
  std::string address;
  GDBusConnection* desk = nullptr;
  unsigned object = 0, owner = 0;
  std::string registered;  // the item's unique name
  std::unique_ptr<Child> program;

  void SetUp() override {
    daemon = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--print-address=1"},
        environmentWith(""));
    address = daemon->line(10.0);
    ASSERT_FALSE(address.empty()) << "dbus-daemon did not start";
    desk = connectTo(address);
    ASSERT_TRUE(desk);
    g_dbus_connection_set_exit_on_close(desk, FALSE);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const char* sender, const char*, const char*, const char*, GVariant*,
           GDBusMethodInvocation* invocation, void* self) {
          static_cast<TrayFlood*>(self)->registered = sender;
          g_dbus_method_invocation_return_value(invocation, nullptr);
        },
        nullptr,
        nullptr,
        {}};
    object = g_dbus_connection_register_object(desk, "/StatusNotifierWatcher",
                                               testing_support::watcherInterface(), &vtable, this,
                                               nullptr, nullptr);
    bool owned = false;
    owner = g_bus_own_name_on_connection(
        desk, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const char*, void* o) { *static_cast<bool*>(o) = true; }, nullptr,
        &owned, nullptr);
    ASSERT_TRUE(spinUntil([&] { return owned; }, 5.0));

    program =
        std::make_unique<Child>(std::vector<std::string>{SITTING_TIMER_BINARY, "--status-bar=tray"},
                                environmentWith(address));
    ASSERT_TRUE(spinUntil([&] { return !registered.empty(); }, 10.0))
        << "the item never registered";
    sleepFor(0.5);  // start-up is not measured
  }
  void TearDown() override {
    program.reset();
    if (desk) {
      g_bus_unown_name(owner);
      g_dbus_connection_unregister_object(desk, object);
      g_object_unref(desk);
    }
    daemon.reset();
  }

  std::unique_ptr<Child> flood(const char* mode, int connections = 1, int calls = kCalls,
                               std::size_t argumentBytes = 0) {
    return std::make_unique<Child>(
        std::vector<std::string>{TRAY_FLOOD_CLIENT, address, registered, std::to_string(calls),
                                 mode, std::to_string(connections), std::to_string(argumentBytes)},
        environmentWith(address));
  }

  // The end of a burst whose answers nobody reads: when the program stops working on it.
  double peakWhileBusy() {
    double cpu = program->cpuSeconds();
    double peak = program->residentMiB();
    for (int i = 0; i < 100; ++i) {
      sleepFor(0.2);
      peak = std::max(peak, program->residentMiB());
      const double now = program->cpuSeconds();
      if (now - cpu < 0.01) break;
      cpu = now;
    }
    return peak;
  }

  // A host reading the item's Id while the caller's calls may still be queued.
  std::string hostReadsId() {
    GVariant* reply = g_dbus_connection_call_sync(
        desk, registered.c_str(), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Id"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (!reply) return "<no answer>";
    GVariant* id = nullptr;
    g_variant_get(reply, "(v)", &id);
    std::string s = g_variant_get_string(id, nullptr);
    g_variant_unref(id);
    g_variant_unref(reply);
    return s;
  }

  // Resident memory before, at the end of the burst and a while after, and the program's share
  // of a core over that while.
  void checkAfterBurst(double before, double atEnd) {
    const double cpu = program->cpuSeconds();
    const double settle = 3.0;
    sleepFor(settle);
    const double after = program->residentMiB();
    const double share = (program->cpuSeconds() - cpu) / settle;
    std::printf(
        "resident MiB: before %.1f, end of burst %.1f, %.0f s after %.1f; CPU after %.1f %%\n",
        before, atEnd, settle, after, share * 100);
    if (!kSanitized) {
      EXPECT_LT(atEnd - before, kHeldMiB) << "held at the end of the burst";
      EXPECT_LT(after - before, kHeldMiB) << "held after the burst";
    }
    EXPECT_LT(share, kIdleShare);
    EXPECT_EQ(hostReadsId(), "sitting-timer");
    kill(program->pid(), SIGTERM);
    EXPECT_EQ(program->waitFor(1.0), 0);
  }
};

TEST_F(TrayFlood, CallsWhoseAnswersAreReadLeaveNothingHeld) {
  const double before = program->residentMiB();
  auto caller = flood("read");
  ASSERT_EQ(caller->line(30.0), "sent");
  const std::string result = caller->line(30.0);
  ASSERT_EQ(caller->waitFor(5.0), 0) << result;
  std::printf("%s\n", result.c_str());
  checkAfterBurst(before, program->residentMiB());
}

TEST_F(TrayFlood, CallsWhoseAnswersAreNeverReadLeaveNothingHeld) {
  const double before = program->residentMiB();
  auto caller = flood("unread");
  ASSERT_EQ(caller->line(30.0), "sent");
  checkAfterBurst(before, peakWhileBusy());
}

TEST_F(TrayFlood, CallsSpreadOverFiftyConnectionsLeaveNothingHeld) {
  const double before = program->residentMiB();
  auto caller = flood("unread", 50);
  ASSERT_EQ(caller->line(30.0), "sent");
  checkAfterBurst(before, peakWhileBusy());
}

TEST_F(TrayFlood, CallsThatExpectNoAnswerLeaveNothingHeld) {
  // No answer is queued for these, but each waits for the main loop until it is handled.
  const double before = program->residentMiB();
  auto caller = flood("noreply", 50);
  ASSERT_EQ(caller->line(30.0), "sent");
  checkAfterBurst(before, peakWhileBusy());
}

TEST_F(TrayFlood, CallsWithLargeArgumentsLeaveNothingHeld) {
  // 128 MiB in all: each call waits whole until it is answered.
  const double before = program->residentMiB();
  auto caller = flood("unread", 50, 1000, 128 * 1024);
  ASSERT_EQ(caller->line(30.0), "sent");
  checkAfterBurst(before, peakWhileBusy());
}

TEST_F(TrayFlood, SigtermInTheMiddleOfABurstEndsTheProgramWithinASecond) {
  auto caller = flood("unread");
  sleepFor(0.3);
  kill(program->pid(), SIGTERM);
  EXPECT_EQ(program->waitFor(1.0), 0);
}

}  // namespace
