// TerminalStatusBar.h: the item as one line of the terminal on standard output.
#pragma once

#include <termios.h>

#include <optional>

#include "platform/linux/StdioStatusBar.h"

namespace platform::linux_backend {

// One line in the terminal on standard output. Puts the terminal into the mode mouse reports
// need and gives it back as it was found.
class TerminalStatusBar final : public StdioStatusBar {
 public:
  TerminalStatusBar();
  ~TerminalStatusBar() override;

 protected:
  std::unique_ptr<LinuxStatusItem> makeItem(LinuxStatusItem::Writer out,
                                            LinuxStatusItem::Writer messages,
                                            LinuxStatusItem::Clock clock) override;

 private:
  std::optional<termios> savedTerminal_;
  guint resizeSource_ = 0;
};

}  // namespace platform::linux_backend
