// ChildProcess.h: what the tests that run the built program as a child process share: its CPU
// time and memory from /proc, waiting for it to end, pipes to it and reading them with a
// deadline, and an environment with no session of the machine's in it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testing_support {

inline std::string procFile(pid_t pid, const char* file) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// utime + stime of `pid`, in seconds.
inline double cpuSecondsOf(pid_t pid) {
  const std::string stat = procFile(pid, "stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 0; i < 13 && fields >> field; ++i) {
    if (i == 11 || i == 12) ticks += std::stol(field);
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// VmRSS of `pid`, in MiB; 0 once it has gone.
inline double residentMiBOf(pid_t pid) {
  const std::string status = procFile(pid, "status");
  const std::size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0.0 : std::stod(status.substr(at + 6)) / 1024.0;
}

// Reaps `pid` if it ends within `seconds`, keeping its exit status (128 + the signal when one
// ended it) in `status`, which also says it has been reaped already.
inline std::optional<int> waitForExit(pid_t pid, std::optional<int>& status, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!status) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status;
}

// The environment of the test without its display, Wayland display or session bus.
inline std::vector<std::string> environmentWithoutSession() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view v(*e);
    if (v.starts_with("DISPLAY=") || v.starts_with("WAYLAND_DISPLAY=") ||
        v.starts_with("DBUS_SESSION_BUS_ADDRESS=")) {
      continue;
    }
    env.emplace_back(v);
  }
  return env;
}

// Null-terminated pointers into `strings`, for execve; good while they are.
inline std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) read = fds[0], write = fds[1];
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0) close(write);
    write = -1;
  }
  // Fills it, so that the first byte the program writes already finds no room.
  void fill() {
    fcntl(write, F_SETFL, O_NONBLOCK);
    const std::string page(4096, '.');
    while (::write(write, page.data(), page.size()) > 0) {
    }
    fcntl(write, F_SETFL, 0);
  }
};

// Reads what is on `fd` within `seconds`, until it ends or `until` has been seen.
inline std::string readFor(int fd, double seconds, std::string_view until = {}) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline &&
         (until.empty() || got.find(until) == std::string::npos)) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) != 1) continue;
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

}  // namespace testing_support
