// ApplicationMain.cpp: the application main on Linux. Reads the platform's own options, puts
// the platform together from a status bar and an idle source chosen from their tables, and runs
// the application on it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/Application.h"
#include "platform/ComposedBackend.h"
#include "platform/linux/GLibRunLoop.h"
#include "platform/linux/Providers.h"
#include "platform/linux/StandardError.h"

#ifndef SITTING_TIMER_VERSION
#define SITTING_TIMER_VERSION "unknown"
#endif

namespace platform {

namespace {

using linux_backend::LinuxContext;

template <class Table>
std::string listProviders(Table table) {
  std::string out;
  for (const auto& p : table) {
    std::string line = "    " + std::string(p.id);
    line.resize(std::max<std::size_t>(line.size() + 2, 30), ' ');
    out += line + std::string(p.summary) + "\n";
  }
  return out;
}

std::string usage() {
  return "Usage: sitting-timer [--status-bar=auto|ID] [--idle-source=auto|ID]\n"
         "Shows how long you have been sitting, as a status bar item.\n"
         "\n"
         "  --status-bar=auto|ID   where to draw the item (default auto), one of:\n" +
         listProviders(linux_backend::statusBarProviders()) +
         "  --idle-source=auto|ID  where to read the idle time from (default auto), one of:\n" +
         listProviders(linux_backend::idleSourceProviders()) +
         "  --verbose              say on standard error which bar and idle source were chosen\n"
         "  --help                 show this help\n"
         "  --version              show the version\n"
         "\n"
         "auto tries each in the order listed, but those marked never auto, and takes the first\n"
         "that works here. Without an idle source the item still counts, but never blinks.\n"
         "Click the item to restart the count; double-click it to quit.\n";
}

void say(const std::string& line) { linux_backend::writeStandardError(line + "\n"); }

int fail(const std::string& message) {
  say("sitting-timer: " + message);
  return 2;
}

// Descriptors 0, 1 and 2 closed at start would be taken by the first things the program opens
// (GLib's wake-up descriptor, a bus connection), which would then be read as clicks or written
// as the bar. Fill them with /dev/null before anything else opens a descriptor.
void openStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

// Accepts "--name=value" and "--name value".
bool optionValue(std::string_view name, int argc, char** argv, int& i, std::string& value) {
  const std::string_view arg = argv[i];
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
    value = arg.substr(name.size() + 1);
    return true;
  }
  if (arg == name && i + 1 < argc) {
    value = argv[++i];
    return true;
  }
  return false;
}

int run(int argc, char** argv, DelegateFactory makeDelegate) {
  std::string bar = "auto", idle = "auto";
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(usage().c_str(), stdout);
      return 0;
    }
    if (arg == "--version") {
      std::puts("sitting-timer " SITTING_TIMER_VERSION);
      return 0;
    }
    if (arg == "--verbose") {
      verbose = true;
      continue;
    }
    std::string value;
    if (optionValue("--status-bar", argc, argv, i, value)) {
      if (!isProvider(linux_backend::statusBarProviders(), value)) {
        return fail("unknown status bar '" + value + "'; see --help");
      }
      bar = value;
    } else if (optionValue("--idle-source", argc, argv, i, value)) {
      if (!isProvider(linux_backend::idleSourceProviders(), value)) {
        return fail("unknown idle source '" + value + "'; see --help");
      }
      idle = value;
    } else {
      say("sitting-timer: unknown option '" + std::string(argv[i]) + "'");
      linux_backend::writeStandardError(usage());
      return 2;
    }
  }

  auto loop = std::make_unique<linux_backend::GLibRunLoop>();
  // From here on a signal waits for the loop, so that a probe it interrupts cannot leave the
  // terminal in the bar's mode.
  loop->onTerminationSignals([] { NSApp().terminate(); });

  LinuxContext barContext{*loop, bar != "auto"};
  Choice<StatusBar> barChoice = choose(linux_backend::statusBarProviders(), bar, barContext);
  // A signal during the probes ends the program as it would later: quietly, with success.
  if (linux_backend::GLibRunLoop::terminationPending()) return 0;
  if (!barChoice.part) {
    if (bar != "auto") return fail("status bar " + barChoice.failures);
    return fail("no status bar to draw on: " + barChoice.failures +
                "; choose one with --status-bar");
  }

  LinuxContext idleContext{*loop, idle != "auto"};
  Choice<IdleSource> idleChoice = choose(linux_backend::idleSourceProviders(), idle, idleContext);
  if (linux_backend::GLibRunLoop::terminationPending()) return 0;
  if (!idleChoice.part) {
    if (idle != "auto") return fail("idle source " + idleChoice.failures);
    // The item still counts; the probe's own message says the rest, once.
    say("sitting-timer: no idle source: " + idleChoice.failures);
    idleChoice.part = std::make_unique<UnavailableIdleSource>();
  }

  if (verbose) {
    const std::string idleId = idleChoice.id.empty() ? "none" : std::string(idleChoice.id);
    say("sitting-timer: status bar " + std::string(barChoice.id) + ", idle source " + idleId);
    if (!barChoice.failures.empty()) {
      say("sitting-timer: status bars tried first: " + barChoice.failures);
    }
    if (!idleChoice.id.empty() && !idleChoice.failures.empty()) {
      say("sitting-timer: idle sources tried first: " + idleChoice.failures);
    }
  }
  ComposedBackend backend(std::move(loop), std::move(barChoice.part), std::move(idleChoice.part));
  {
    Application app(backend, makeDelegate);
    app.run();
  }
  return 0;
}

}  // namespace

int NSApplicationMain(int argc, char** argv, DelegateFactory makeDelegate) {
  openStandardDescriptors();
  linux_backend::installStandardError();
  const int status = run(argc, argv, makeDelegate);
  // The last lines (why it cannot start, that the bus closed) are worth a short wait.
  linux_backend::drainStandardError(0.25);
  return status;
}

}  // namespace platform
