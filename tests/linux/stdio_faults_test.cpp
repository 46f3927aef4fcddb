// The built program under faults of its standard descriptors: closed at start, a bar that has
// gone, a bar that stops reading. Each case checks that the program keeps answering SIGTERM
// within a second with status 0 and stays near idle, measured as CPU time from /proc, never as
// a duration, so a loaded machine cannot fail it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"

namespace {

using testing_support::Pipe;
using testing_support::readFor;

constexpr int kClosed = -1;

// The program with the given descriptors as 0, 1 and 2 (kClosed: closed), no display, no
// Wayland and no session bus, so that no idle source is found and nothing but the bar acts.
class Program {
 public:
  Program(std::vector<std::string> args, int in, int out, int err) {
    std::vector<std::string> env = testing_support::environmentWithoutSession();
    env.emplace_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
    args.insert(args.begin(), SITTING_TIMER_BINARY);
    std::vector<char*> argv = testing_support::cStrings(args);
    std::vector<char*> envp = testing_support::cStrings(env);

    const int wanted[3] = {in, out, err};
    pid_ = fork();
    if (pid_ == 0) {
      int moved[3];
      for (int k = 0; k < 3; ++k) moved[k] = wanted[k] < 0 ? -1 : fcntl(wanted[k], F_DUPFD, 100);
      for (int k = 0; k < 3; ++k) {
        if (moved[k] < 0) {
          close(k);
        } else {
          dup2(moved[k], k);
        }
      }
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

  // utime + stime, in seconds.
  double cpuSeconds() const { return testing_support::cpuSecondsOf(pid_); }

  // The exit status, once it has ended within `seconds`.
  std::optional<int> waitFor(double seconds) {
    return testing_support::waitForExit(pid_, status_, seconds);
  }

  std::optional<int> terminate(double seconds = 1.0) {
    kill(pid_, SIGTERM);
    return waitFor(seconds);
  }

  bool running() { return !waitFor(0); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Well below a spinning loop (a whole core) and above what a loaded machine adds to a program
// that only wakes for its one-second tick.
constexpr double kIdleShare = 0.05;

double cpuShareOver(Program& program, double seconds) {
  const double before = program.cpuSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return (program.cpuSeconds() - before) / seconds;
}

TEST(ClosedDescriptorAtStart, NeitherSpinsNorStopsAnsweringSignals) {
  // i3bar with each of 0, 1 and 2 closed, and the terminal line (standard output a terminal)
  // with 0 or 2 closed; all at once, to keep the test short.
  Pipe in[3], out[3];
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  std::vector<std::unique_ptr<Program>> programs;
  std::vector<std::string> names;
  for (int closed = 0; closed < 3; ++closed) {
    const int fds[3] = {in[closed].read, out[closed].write, STDERR_FILENO};
    int chosen[3] = {fds[0], fds[1], fds[2]};
    chosen[closed] = kClosed;
    programs.push_back(std::make_unique<Program>(std::vector<std::string>{"--status-bar=i3bar"},
                                                 chosen[0], chosen[1], chosen[2]));
    names.push_back("i3bar, descriptor " + std::to_string(closed) + " closed");
  }
  programs.push_back(std::make_unique<Program>(std::vector<std::string>{"--status-bar=terminal"},
                                               kClosed, slave, STDERR_FILENO));
  names.push_back("terminal, descriptor 0 closed");
  programs.push_back(std::make_unique<Program>(std::vector<std::string>{"--status-bar=terminal"},
                                               slave, slave, kClosed));
  names.push_back("terminal, descriptor 2 closed");

  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // start-up is not measured
  std::vector<double> before;
  for (auto& p : programs) before.push_back(p->cpuSeconds());
  const double window = 2.0;
  std::this_thread::sleep_for(std::chrono::duration<double>(window));
  readFor(master, 0.05);
  for (std::size_t i = 0; i < programs.size(); ++i) {
    EXPECT_LT((programs[i]->cpuSeconds() - before[i]) / window, kIdleShare) << names[i];
    EXPECT_EQ(programs[i]->terminate(), 0) << names[i];
  }
  close(master);
  close(slave);
}

TEST(BarGone, ReaderThatExitsEndsTheProgramAtOnceWithSuccess) {
  Pipe in, out;
  Program program({"--status-bar=i3bar"}, in.read, out.write, STDERR_FILENO);
  out.closeWrite();
  EXPECT_NE(readFor(out.read, 5.0, "}]\n").find("Time Sitting"), std::string::npos);
  // No title is due for a minute: only watching standard output can see the bar go.
  out.closeRead();
  EXPECT_EQ(program.waitFor(1.0), 0);
}

TEST(BarGone, TerminalThatHangsUpEndsTheProgramWithSuccess) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  Program program({"--status-bar=terminal"}, slave, slave, STDERR_FILENO);
  close(slave);
  EXPECT_NE(readFor(master, 5.0, "Time Sitting").find("Time Sitting"), std::string::npos);
  close(master);
  EXPECT_EQ(program.waitFor(1.0), 0);
}

TEST(BarGone, EndOfInputAloneIsNoReasonToEnd) {
  Pipe in, out;
  Program program({"--status-bar=i3bar"}, in.read, out.write, STDERR_FILENO);
  readFor(out.read, 5.0, "}]\n");
  in.closeWrite();  // the bar stops sending clicks but still reads the titles
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(program.running());
  EXPECT_EQ(program.terminate(), 0);
}

// Standard output a pipe that is full before the program starts, so that its first byte already
// finds no room.
struct StoppedReader : testing::Test {
  Pipe in, out;
  std::size_t filler = 0;
  std::unique_ptr<Program> program;

  void SetUp() override {
    fcntl(out.write, F_SETFL, O_NONBLOCK);
    const std::string page(4096, '.');
    ssize_t n;
    while ((n = write(out.write, page.data(), page.size())) > 0)
      filler += static_cast<std::size_t>(n);
    fcntl(out.write, F_SETFL, 0);
    program = std::make_unique<Program>(std::vector<std::string>{"--status-bar=i3bar"}, in.read,
                                        out.write, STDERR_FILENO);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  void click() {
    const std::string_view event = "{\"name\":\"sitting\",\"button\":1}\n";
    ASSERT_EQ(write(in.write, event.data(), event.size()), static_cast<ssize_t>(event.size()));
  }
};

TEST_F(StoppedReader, StaysIdleAndEndsOnSigtermWithinASecond) {
  EXPECT_LT(cpuShareOver(*program, 2.0), kIdleShare);
  EXPECT_EQ(program->terminate(), 0);
}

TEST_F(StoppedReader, ClicksAreStillRead) {
  ASSERT_EQ(write(in.write, "[\n", 2), 2);
  click();
  click();  // a double-click quits
  EXPECT_EQ(program->waitFor(1.0), 0);
}

TEST_F(StoppedReader, ReadingAgainGetsTheNewestTitleAsValidJsonAndLeavesTheProgramIdle) {
  std::string got = readFor(out.read, 2.0, "}]\n");
  while (got.size() < filler + 1) {
    const std::string more = readFor(out.read, 2.0, "}]\n");
    if (more.empty()) break;
    got += more;
  }
  ASSERT_GT(got.size(), filler);
  std::string stream = got.substr(filler);
  if (stream.find("}]\n") == std::string::npos) stream += readFor(out.read, 3.0, "}]\n");
  const std::size_t header = stream.find('\n');
  ASSERT_NE(header, std::string::npos) << stream;
  EXPECT_TRUE(nlohmann::json::parse(stream.substr(0, header))["click_events"]);
  const auto body = nlohmann::json::parse(stream.substr(header + 1) + "]", nullptr, false);
  ASSERT_TRUE(body.is_array()) << stream;
  ASSERT_FALSE(body.empty()) << stream;
  EXPECT_NE(body.back().at(0).at("full_text").get<std::string>().find("Time Sitting"),
            std::string::npos);
  // The backlog is gone: nothing waits, so nothing may watch for room any more, or the loop
  // wakes for a pipe that is always writable and spins.
  EXPECT_LT(cpuShareOver(*program, 2.0), kIdleShare);
  EXPECT_EQ(program->terminate(), 0);
}

}  // namespace
