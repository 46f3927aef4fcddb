// TerminalStatusBar.h: the item as one line of the terminal on standard output.
#pragma once

#include <termios.h>

#include <functional>
#include <memory>
#include <optional>

#include "platform/linux/GLibRunLoop.h"
#include "platform/linux/bars/StdioStatusBar.h"
#include "platform/linux/bars/TerminalStatusItem.h"

namespace platform::linux_backend {

// One line in the terminal on standard output. Reads clicks from that terminal: standard input
// when it is that terminal, else the controlling terminal (/dev/tty) when it is; with neither,
// the line is drawn without mouse reporting. Puts the terminal into the mode mouse reports need
// and gives it back as it was found: at the end, and before the process stops (SIGTSTP, Ctrl-Z),
// taking it again when it goes on (SIGCONT).
class TerminalStatusBar final : public StdioStatusBar {
 public:
  // Stops the process once the terminal has been given back; by default it stops for real.
  // Tests pass one that looks at the terminal and returns, as the process does after SIGCONT.
  using Stop = std::function<void()>;

  explicit TerminalStatusBar(Stop stop = {});
  ~TerminalStatusBar() override;

  // What the terminal allows here (the width aside).
  const TerminalTraits& traits() const { return traits_; }

 protected:
  std::unique_ptr<LinuxStatusItem> makeItem(LinuxStatusItem::Writer out,
                                            LinuxStatusItem::Writer messages,
                                            LinuxStatusItem::Clock clock) override;

 private:
  TerminalStatusItem* terminalItem() const { return static_cast<TerminalStatusItem*>(item()); }
  void takeMode();
  void giveModeBack();
  void discardAnswers();
  void stopping();
  void continued();

  TerminalTraits traits_;
  int input_ = -1;                // the terminal clicks and answers come from; -1 when none
  int ownTerminal_ = -1;          // /dev/tty, opened when standard input is not the terminal
  std::optional<termios> found_;  // the mode to give back
  termios mode_{};                // the mode the bar set
  bool modeSet_ = false;
  bool madeItem_ = false;
  guint resizeSource_ = 0;
  Stop stop_;
  std::unique_ptr<SignalWatch> stopWatch_;
  std::unique_ptr<SignalWatch> continueWatch_;
};

}  // namespace platform::linux_backend
