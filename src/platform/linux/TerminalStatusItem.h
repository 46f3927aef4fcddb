// TerminalStatusItem.h: the item as one line of a terminal, redrawn in place, with mouse
// reporting so that it can be clicked.
#pragma once

#include <string>

#include "platform/linux/LinuxStatusItem.h"

namespace platform::linux_backend {

class TerminalStatusItem final : public LinuxStatusItem {
 public:
  // Turns on SGR mouse reporting and hides the cursor; the destructor turns both back.
  // `messages` writes the lines shown above the item's line.
  TerminalStatusItem(Writer out, Writer messages, Clock clock);
  ~TerminalStatusItem() override;

  void setAttributedTitle(const AttributedString& title) override;
  void setHighlightMode(bool) override {}
  void consumeInput(std::string_view bytes) override;
  void writeMessageLine(std::string_view line) override;
  void terminalResized() override;

  // The title with ANSI bold and 24-bit colour, or blanks of its width when drawn transparent.
  static std::string ansi(const AttributedString& title);

 private:
  void redraw();
  void handleSequence(std::string_view sequence);
  void askCursorRow();

  Writer messages_;
  std::string line_;    // what is drawn now, to redraw after a message
  int row_ = 0;         // 1-based row of the line; 0 while unknown
  int rowQueries_ = 0;  // cursor position reports asked for and not yet seen
  std::string sequence_;
  bool inSequence_ = false;
};

}  // namespace platform::linux_backend
