// LinuxBackend.h: the program on a Linux desktop: GLib's main loop, a bar on standard output
// (i3bar protocol or a terminal line), clicks from standard input and idle time from X11.
#pragma once

#include <glib.h>
#include <termios.h>

#include <optional>

#include "platform/Backend.h"
#include "platform/linux/FailureFilter.h"
#include "platform/linux/GLibRunLoop.h"
#include "platform/linux/LinuxStatusItem.h"
#include "platform/linux/X11IdleSource.h"

namespace platform::linux_backend {

enum class BarKind { i3bar, terminal };

class LinuxBackend final : public Backend {
 public:
  explicit LinuxBackend(BarKind bar);
  ~LinuxBackend() override;

  double wallClockNow() override { return static_cast<double>(g_get_real_time()) / 1e6; }
  RunLoop& runLoop() override { return loop_.runLoop(); }
  void run() override { loop_.run(); }
  std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
  IdleLookup lookUpIdleTime() override;
  void writeMessageLine(std::string_view line) override;

 private:
  static gboolean onInput(gint fd, GIOCondition condition, gpointer self);
  static gboolean onTerminate(gpointer self);
  static gboolean onResize(gpointer self);

  BarKind bar_;
  GLibRunLoop loop_;
  X11IdleSource idle_;
  std::optional<termios> savedTerminal_;
  LinuxStatusItem* item_ = nullptr;
  std::vector<guint> sources_;
  guint inputSource_ = 0;
  FailureFilter idleFailures_;
};

}  // namespace platform::linux_backend
