// TerminalStatusItem.h: the item as one line of a terminal, redrawn in place, with mouse
// reporting so that it can be clicked.
#pragma once

#include <functional>
#include <string>

#include "platform/BarColors.h"
#include "platform/linux/bars/LinuxStatusItem.h"

namespace platform::linux_backend {

// What the terminal the line is drawn on allows.
struct TerminalTraits {
  // Escape sequences of any kind (cursor, erase, bold, colour, mouse); false on a dumb terminal,
  // which then gets plain lines of text.
  bool sequences = true;
  // Colour sequences; false with NO_COLOR. Bold stays.
  bool colour = true;
  // Mouse reports and cursor position queries: only where the program reads the answers, else
  // they would pile up and reach the shell as typed text after the program ends.
  bool mouse = true;
  // The terminal's width in columns now; empty, or 0 when it cannot say, for 80.
  std::function<int()> columns;
};

// The traits a terminal of type `term` gets (TERM, unset: nullptr) with NO_COLOR set to
// `noColor` (unset: nullptr), when the answers to queries can be read (`readable`) or not.
TerminalTraits terminalTraits(const char* term, const char* noColor, bool readable);

// A terminal's answer to an OSC 10 (foreground) or OSC 11 (background) colour question, its
// body between "ESC ]" and the terminator: "10;rgb:RRRR/GGGG/BBBB", with 1 to 4 hex digits a
// component. Which of the two it is, and the colour; nothing for anything else.
struct OscColor {
  int which;  // 10 or 11
  Rgba color;
};
std::optional<OscColor> parseOscColor(std::string_view body);

class TerminalStatusItem final : public LinuxStatusItem {
 public:
  // Hides the cursor and turns on SGR mouse reporting, as far as `traits` allow; the destructor
  // turns both back. `messages` writes the lines shown above the item's line.
  TerminalStatusItem(Writer out, Writer messages, Clock clock, TerminalTraits traits = {});
  ~TerminalStatusItem() override;

  void setAttributedTitle(const AttributedString& title) override;
  void setHighlightMode(bool) override {}
  void consumeInput(std::string_view bytes) override;
  void writeMessageLine(std::string_view line) override;
  void terminalResized() override;

  // Gives the terminal back as the destructor does, leaving the line on screen, and draws
  // nothing until resume(): the process is about to stop.
  void suspend();
  // Takes the terminal again after a stop, whether or not it was given back first (SIGSTOP
  // cannot be seen coming): modes, the line where the cursor is now, the question for its row.
  void resume();
  bool suspended() const { return suspended_; }

  // The terminal's colours, as far as it has told them (both or neither).
  BarColors barColors() const;

  // The title with ANSI bold and 24-bit colour (colour only if `traits.colour`, neither without
  // `traits.sequences`) for a terminal with `colors`, or blanks of its width when drawn
  // transparent; at most `columns` characters of it, its sequences closed.
  static std::string ansi(const AttributedString& title, const TerminalTraits& traits = {},
                          std::size_t columns = std::string::npos, const BarColors& colors = {});

 private:
  void redraw();
  void handleSequence(std::string_view sequence);
  void handleOsc(std::string_view body);
  void askCursorRow();
  void takeTerminal();
  void giveTerminalBack();
  std::size_t lineColumns() const;

  Writer messages_;
  TerminalTraits traits_;
  AttributedString title_;  // what is drawn now, to redraw after a message or a resize
  bool hasTitle_ = false;
  std::string plainLine_;  // on a dumb terminal: the last line written
  bool suspended_ = false;
  int row_ = 0;           // 1-based row of the line; 0 while unknown
  int rowQueries_ = 0;    // cursor position reports asked for and not yet seen
  int colorQueries_ = 0;  // colour questions asked and neither answered nor passed over
  std::optional<Rgba> foreground_, background_;
  std::string sequence_;
  bool inSequence_ = false;
  bool inOsc_ = false;      // in an operating system command, up to BEL or ST
  bool oscEscape_ = false;  // an ESC in one, which ST's backslash would follow
};

}  // namespace platform::linux_backend
