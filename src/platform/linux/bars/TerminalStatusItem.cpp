#include "platform/linux/bars/TerminalStatusItem.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

namespace platform::linux_backend {

namespace {

constexpr std::string_view kMouseOn = "\x1b[?1000h\x1b[?1006h";
constexpr std::string_view kMouseOff = "\x1b[?1006l\x1b[?1000l";
constexpr std::string_view kHideCursor = "\x1b[?25l";
constexpr std::string_view kShowCursor = "\x1b[?25h";
constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kAskPosition = "\x1b[6n";
constexpr std::string_view kClearBelow = "\x1b[J";
constexpr std::string_view kEraseLine = "\r\x1b[J";
constexpr std::size_t kMaxSequence = 32;

std::vector<int> parameters(std::string_view s) {
  std::vector<int> out;
  while (!s.empty()) {
    int value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc()) return {};
    out.push_back(value);
    s.remove_prefix(end - s.data());
    if (!s.empty()) {
      if (s.front() != ';') return {};
      s.remove_prefix(1);
    }
  }
  return out;
}

bool startsCharacter(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }

// Each character of the title takes one column: it is ASCII.
std::size_t columnsOf(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), startsCharacter));
}

// The longest start of `text` that fills at most `columns` columns, cut between characters.
std::string_view leadingColumns(std::string_view text, std::size_t columns) {
  std::size_t end = 0, count = 0;
  for (; end < text.size(); ++end) {
    if (!startsCharacter(text[end])) continue;
    if (count == columns) break;
    ++count;
  }
  return text.substr(0, end);
}

}  // namespace

TerminalTraits terminalTraits(const char* term, const char* noColor, bool readable) {
  TerminalTraits traits;
  const std::string_view type = term ? term : "";
  traits.sequences = !type.empty() && type != "dumb";
  traits.colour = traits.sequences && !(noColor && *noColor);
  traits.mouse = traits.sequences && readable;
  return traits;
}

std::string TerminalStatusItem::ansi(const AttributedString& title, const TerminalTraits& traits,
                                     std::size_t columns) {
  if (drawnTransparent(title))
    return std::string(std::min(columnsOf(title.string()), columns), ' ');

  std::string out;
  std::size_t left = columns;
  for (const auto& run : title.runs()) {
    const std::string_view text = leadingColumns(
        std::string_view(title.string()).substr(run.range.location, run.range.length), left);
    if (text.empty()) break;
    left -= columnsOf(text);
    std::string style;
    if (traits.sequences && run.attributes.font && run.attributes.font->bold) style += "\x1b[1m";
    // Black stays the terminal's own foreground: many terminals are dark.
    if (const auto& color = run.attributes.foregroundColor;
        traits.sequences && traits.colour && color && !color->isBlack()) {
      const Rgba c = color->rgba();
      char sgr[32];
      std::snprintf(sgr, sizeof sgr, "\x1b[38;2;%d;%d;%dm", colorByte(c.red), colorByte(c.green),
                    colorByte(c.blue));
      style += sgr;
    }
    out += style;
    out += text;
    if (!style.empty()) out += kReset;
  }
  return out;
}

TerminalStatusItem::TerminalStatusItem(Writer out, Writer messages, Clock clock,
                                       TerminalTraits traits)
    : LinuxStatusItem(std::move(out), std::move(clock)),
      messages_(std::move(messages)),
      traits_(std::move(traits)) {
  if (!traits_.sequences) traits_.colour = traits_.mouse = false;
  takeTerminal();
}

TerminalStatusItem::~TerminalStatusItem() {
  if (!suspended_) giveTerminalBack();
}

void TerminalStatusItem::takeTerminal() {
  if (!traits_.sequences) return;
  std::string setup(kHideCursor);
  if (traits_.mouse) setup += kMouseOn;
  write(setup);
  askCursorRow();
}

void TerminalStatusItem::giveTerminalBack() {
  if (!traits_.sequences) return;
  std::string restore(kReset);
  restore += kShowCursor;
  if (traits_.mouse) {
    // The bar reads until the answer to this last question, so that no report sent before
    // mouse reporting went off is left for the shell.
    restore += kMouseOff;
    restore += kAskPosition;
  }
  // The last title stays on screen and whatever comes next starts on a fresh line below it.
  if (hasTitle_) restore += "\r\n";
  write(restore);
}

void TerminalStatusItem::suspend() {
  if (suspended_) return;
  giveTerminalBack();
  suspended_ = true;
  // Answers still on their way are the bar's to discard now.
  rowQueries_ = 0;
  inSequence_ = false;
}

void TerminalStatusItem::resume() {
  suspended_ = false;
  // The shell has written below the old line; the line starts again where the cursor is.
  row_ = 0;
  plainLine_.clear();
  takeTerminal();
  redraw();
}

void TerminalStatusItem::setAttributedTitle(const AttributedString& title) {
  title_ = title;
  hasTitle_ = true;
  redraw();
}

std::size_t TerminalStatusItem::lineColumns() const {
  int width = traits_.columns ? traits_.columns() : 0;
  if (width <= 0) width = 80;
  // The last column stays free: a character there leaves the cursor waiting to wrap, and what
  // terminals do with the next \r or erase then differs.
  return static_cast<std::size_t>(width - 1);
}

void TerminalStatusItem::redraw() {
  if (suspended_ || !hasTitle_) return;
  if (!traits_.sequences) {
    // Without cursor movement a line cannot be redrawn, only followed by another: one line
    // for each new count. A blinking line cannot be shown that way; only the count is.
    if (drawnTransparent(title_) || title_.string() == plainLine_) return;
    plainLine_ = title_.string();
    writeFrame(plainLine_ + "\n");
    return;
  }
  // Cut to the width, the line never wraps, so \r always finds its start. The cursor waits
  // at the line's first column: a terminal that re-wraps the line when it narrows keeps the
  // cursor at the line's start, and erasing to the end of the screen from there clears the
  // wrapped remainder as well.
  std::string frame = "\r";
  frame += ansi(title_, traits_, lineColumns());
  frame += kClearBelow;
  frame += '\r';
  writeFrame(frame);
}

void TerminalStatusItem::writeMessageLine(std::string_view line) {
  if (!traits_.sequences || suspended_) {
    messages_(std::string(line) + (traits_.sequences ? "\r\n" : "\n"));
    return;
  }
  write(kEraseLine);
  messages_(std::string(line) + "\r\n");
  redraw();
  // The message may have scrolled the screen or pushed the line down.
  askCursorRow();
}

void TerminalStatusItem::terminalResized() {
  redraw();
  askCursorRow();
}

void TerminalStatusItem::askCursorRow() {
  if (!traits_.mouse || suspended_) return;
  if (write(kAskPosition)) ++rowQueries_;
}

void TerminalStatusItem::consumeInput(std::string_view bytes) {
  // Without mouse reporting nothing read can be a click: never treat other input as one.
  if (!traits_.mouse || suspended_) return;
  // Only escape sequences matter: mouse reports and cursor position reports. Keys typed at the
  // line are dropped.
  for (char c : bytes) {
    if (c == '\x1b') {
      inSequence_ = true;
      sequence_.assign(1, c);
      continue;
    }
    if (!inSequence_) continue;
    sequence_ += c;
    if (sequence_.size() == 2 && c != '[') {
      inSequence_ = false;
    } else if (sequence_.size() > 2 && c >= 0x40 && c <= 0x7e) {
      inSequence_ = false;
      handleSequence(sequence_);
    } else if (sequence_.size() > kMaxSequence) {
      inSequence_ = false;
    }
  }
}

void TerminalStatusItem::handleSequence(std::string_view sequence) {
  const char final = sequence.back();
  std::string_view body = sequence.substr(2, sequence.size() - 3);
  if (!body.empty() && body.front() == '<' && final == 'M') {
    // SGR mouse press: button;column;row. Button 0 without modifiers or motion is the left one.
    const std::vector<int> p = parameters(body.substr(1));
    if (p.size() == 3 && p[0] == 0 && (row_ == 0 || p[2] == row_)) press();
  } else if (final == 'R' && rowQueries_ > 0) {
    // Only as answers to our own questions: some keys (Shift-F3) send the same shape.
    --rowQueries_;
    const std::vector<int> p = parameters(body);
    if (p.size() == 2 && p[0] > 0) row_ = p[0];
  }
}

}  // namespace platform::linux_backend
