// The X11 idle source in-process against a real Xvfb that is stopped, killed and restarted,
// and against a socket that accepts connections and never answers. Run in a private mount and
// network namespace (see tests/CMakeLists.txt), so the displays used here are the test's own.
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/linux/idle/X11IdleSource.h"

using platform::IdleLookup;
using platform::linux_backend::X11IdleSource;
using platform::linux_backend::X11Timing;

namespace {

double now() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

std::string socketPath(int display) { return "/tmp/.X11-unix/X" + std::to_string(display); }

class Xvfb {
 public:
  explicit Xvfb(int display) : display_(display) { start(); }
  ~Xvfb() { stop(SIGKILL); }

  void start() {
    pid_ = fork();
    if (pid_ == 0) {
      const std::string name = ":" + std::to_string(display_);
      execlp("Xvfb", "Xvfb", name.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    struct stat st {};
    for (int i = 0; i < 200 && stat(socketPath(display_).c_str(), &st) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
  void stop(int sig) {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, sig);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void signal(int sig) { kill(pid_, sig); }

 private:
  int display_;
  pid_t pid_ = -1;
};

// Listens where an X server would and never answers: connections are accepted by the kernel
// into the backlog, and the set-up handshake waits for ever.
class SilentServer {
 public:
  explicit SilentServer(int display) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = socketPath(display);
    unlink(path.c_str());
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bound_ =
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 16) == 0;
  }
  ~SilentServer() { close(fd_); }
  bool bound() const { return bound_; }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

// Lookups every quarter second with the main loop turning in between, as in the program. Each
// lookup must come back at once; `done` ends the wait early.
struct Lookups {
  explicit Lookups(X11IdleSource& s) : source(s) {}
  X11IdleSource& source;
  double slowest = 0;
  IdleLookup last;

  bool until(double seconds, const std::function<bool(const IdleLookup&)>& done) {
    const double end = now() + seconds;
    while (now() < end) {
      const double start = now();
      last = source.lookUp(start);
      slowest = std::max(slowest, now() - start);
      if (done(last)) return true;
      const double next = start + 0.25;
      while (now() < next) {
        g_main_context_iteration(nullptr, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    return false;
  }
};

bool found(const IdleLookup& l) { return l.outcome == IdleLookup::Outcome::found; }
bool failed(const IdleLookup& l) { return !found(l); }

// A lookup that waits for the server shows as hundreds of milliseconds at least; a loaded
// machine adds tens.
constexpr double kAtOnce = 0.2;

TEST(X11SourceOnXvfb, StoppedServerFailsWithoutBlockingAndIsReadAgainWhenResumed) {
  Xvfb server(1);
  setenv("DISPLAY", ":1", 1);
  std::string whyNot;
  auto source = X11IdleSource::connect(now, whyNot);
  ASSERT_TRUE(source) << whyNot;
  Lookups lookups(*source);
  ASSERT_TRUE(lookups.until(5.0, found));

  server.signal(SIGSTOP);
  const double stopped = now();
  EXPECT_TRUE(lookups.until(X11Timing::kAnswerTimeoutSeconds + 5.0, failed));
  EXPECT_GE(now() - stopped, 1.0);  // a stalled answer is not a failure at once
  EXPECT_LT(lookups.slowest, kAtOnce);

  server.signal(SIGCONT);
  EXPECT_TRUE(lookups.until(5.0, found));
  EXPECT_LT(lookups.slowest, kAtOnce);
}

TEST(X11SourceOnXvfb, KilledServerFailsAndIsReadAgainAfterRestartWithinTheRetryInterval) {
  Xvfb server(2);
  setenv("DISPLAY", ":2", 1);
  std::string whyNot;
  auto source = X11IdleSource::connect(now, whyNot);
  ASSERT_TRUE(source) << whyNot;
  Lookups lookups(*source);
  ASSERT_TRUE(lookups.until(5.0, found));

  server.stop(SIGKILL);
  EXPECT_TRUE(lookups.until(3.0, failed));
  server.start();
  const double restarted = now();
  EXPECT_TRUE(lookups.until(X11Timing::kRetrySeconds + 5.0, found));
  EXPECT_LE(now() - restarted, X11Timing::kRetrySeconds + 3.0);
  EXPECT_LT(lookups.slowest, kAtOnce);
}

TEST(X11SourceOnSilentServer, StartUpProbeGivesUpInBoundedTimeAndNothingWaitsAfterIt) {
  SilentServer silent(3);
  ASSERT_TRUE(silent.bound());
  setenv("DISPLAY", ":3", 1);
  const double start = now();
  std::string whyNot;
  EXPECT_FALSE(X11IdleSource::connect(now, whyNot));
  EXPECT_LT(now() - start, X11Timing::kProbeSeconds + 1.0);
  EXPECT_NE(whyNot.find("does not answer"), std::string::npos) << whyNot;

  // A source made while the program runs never waits for the handshake, and is let go at once.
  const double made = now();
  {
    X11IdleSource source(now, ":3");
    Lookups lookups(source);
    EXPECT_FALSE(lookups.until(2.0, found));
    EXPECT_LT(lookups.slowest, kAtOnce);
  }
  EXPECT_LT(now() - made, 2.0 + 1.0);
}

TEST(X11SourceOnSilentServer, ServerReplacedByASilentOneKeepsLookupsImmediate) {
  auto server = std::make_unique<Xvfb>(4);
  X11IdleSource source(now, ":4");
  Lookups lookups(source);
  ASSERT_TRUE(lookups.until(5.0, found));
  server.reset();
  SilentServer silent(4);
  ASSERT_TRUE(silent.bound());
  // The reconnection after the loss hangs in its handshake on the worker thread.
  EXPECT_FALSE(lookups.until(X11Timing::kRetrySeconds + 2.0, found));
  EXPECT_LT(lookups.slowest, kAtOnce);
}

}  // namespace
