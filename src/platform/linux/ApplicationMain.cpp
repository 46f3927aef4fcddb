// ApplicationMain.cpp: the application main on Linux: reads the platform's own options, picks
// the bar, and runs the application on it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string_view>

#include "platform/Application.h"
#include "platform/linux/LinuxBackend.h"

#ifndef SITTING_TIMER_VERSION
#define SITTING_TIMER_VERSION "unknown"
#endif

namespace platform {

namespace {

using linux_backend::BarKind;

constexpr std::string_view kUsage =
    "Usage: sitting-timer [--status-bar=i3bar|terminal]\n"
    "Shows how long you have been sitting, as a status bar item.\n"
    "\n"
    "  --status-bar=i3bar     speak the i3bar protocol on standard output (i3bar, swaybar)\n"
    "  --status-bar=terminal  draw one line in the terminal\n"
    "  --help                 show this help\n"
    "  --version              show the version\n"
    "\n"
    "Without --status-bar, a terminal on standard output gets the terminal line, and pipes on\n"
    "standard input and output (as a bar's status_command has) get the i3bar protocol.\n"
    "Click the item to restart the count; double-click it to quit.\n";

bool isPipe(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

int fail(const char* message) {
  std::fprintf(stderr, "sitting-timer: %s\n", message);
  return 2;
}

}  // namespace

int NSApplicationMain(int argc, char** argv, DelegateFactory makeDelegate) {
  std::optional<BarKind> bar;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage.data(), stdout);
      return 0;
    }
    if (arg == "--version") {
      std::puts("sitting-timer " SITTING_TIMER_VERSION);
      return 0;
    }
    if (arg == "--status-bar=i3bar") {
      bar = BarKind::i3bar;
    } else if (arg == "--status-bar=terminal") {
      bar = BarKind::terminal;
    } else {
      std::fprintf(stderr, "sitting-timer: unknown option '%s'\n", argv[i]);
      std::fputs(kUsage.data(), stderr);
      return 2;
    }
  }

  if (bar == BarKind::terminal && !isatty(STDOUT_FILENO)) {
    return fail("--status-bar=terminal needs a terminal on standard output");
  }
  if (bar == BarKind::i3bar && fcntl(STDOUT_FILENO, F_GETFL) < 0) {
    return fail("--status-bar=i3bar needs standard output open for the bar to read");
  }
  if (!bar) {
    if (isatty(STDOUT_FILENO)) {
      bar = BarKind::terminal;
    } else if (isPipe(STDIN_FILENO) && isPipe(STDOUT_FILENO)) {
      bar = BarKind::i3bar;
    } else {
      return fail(
          "no status bar to draw on: standard output is neither a terminal nor a bar's pipe; "
          "choose one with --status-bar=i3bar|terminal");
    }
  }

  linux_backend::LinuxBackend backend(*bar);
  {
    Application app(backend, makeDelegate);
    app.run();
  }
  return 0;
}

}  // namespace platform
