#include "platform/linux/TerminalStatusBar.h"

#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include "platform/linux/TerminalStatusItem.h"

namespace platform::linux_backend {

TerminalStatusBar::TerminalStatusBar() {
  if (isatty(STDIN_FILENO)) {
    termios mode{};
    if (tcgetattr(STDIN_FILENO, &mode) == 0) {
      savedTerminal_ = mode;
      // Mouse reports must arrive unbuffered and unechoed. Ctrl-C stays a signal and ends the
      // program in order; Ctrl-Z and Ctrl-\ would leave the terminal in this mode, so they are
      // switched off.
      mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      mode.c_cc[VSUSP] = _POSIX_VDISABLE;
      mode.c_cc[VQUIT] = _POSIX_VDISABLE;
      mode.c_cc[VMIN] = 1;
      mode.c_cc[VTIME] = 0;
      tcsetattr(STDIN_FILENO, TCSANOW, &mode);
    }
  }
  resizeSource_ = g_unix_signal_add(
      SIGWINCH,
      [](gpointer data) -> gboolean {
        auto& self = *static_cast<TerminalStatusBar*>(data);
        if (self.item()) self.item()->terminalResized();
        return G_SOURCE_CONTINUE;
      },
      this);
}

TerminalStatusBar::~TerminalStatusBar() {
  if (resizeSource_) g_source_remove(resizeSource_);
  if (savedTerminal_) tcsetattr(STDIN_FILENO, TCSANOW, &*savedTerminal_);
}

std::unique_ptr<LinuxStatusItem> TerminalStatusBar::makeItem(LinuxStatusItem::Writer out,
                                                             LinuxStatusItem::Writer messages,
                                                             LinuxStatusItem::Clock clock) {
  return std::make_unique<TerminalStatusItem>(std::move(out), std::move(messages),
                                              std::move(clock));
}

}  // namespace platform::linux_backend
