#include "platform/linux/TerminalStatusItem.h"

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
constexpr std::string_view kClearToEnd = "\x1b[K";
constexpr std::string_view kEraseLine = "\r\x1b[K";
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

}  // namespace

std::string TerminalStatusItem::ansi(const AttributedString& title) {
  if (drawnTransparent(title)) return std::string(title.length(), ' ');

  std::string out;
  for (const auto& run : title.runs()) {
    std::string style;
    if (run.attributes.font && run.attributes.font->bold) style += "\x1b[1m";
    // Black stays the terminal's own foreground: many terminals are dark.
    if (const auto& color = run.attributes.foregroundColor; color && !color->isBlack()) {
      const Rgba c = color->rgba();
      char sgr[32];
      std::snprintf(sgr, sizeof sgr, "\x1b[38;2;%d;%d;%dm", colorByte(c.red), colorByte(c.green),
                    colorByte(c.blue));
      style += sgr;
    }
    out += style;
    out += std::string_view(title.string()).substr(run.range.location, run.range.length);
    if (!style.empty()) out += kReset;
  }
  return out;
}

TerminalStatusItem::TerminalStatusItem(Writer out, Writer messages, Clock clock)
    : LinuxStatusItem(std::move(out), std::move(clock)), messages_(std::move(messages)) {
  write(std::string(kHideCursor) + std::string(kMouseOn));
  askCursorRow();
}

TerminalStatusItem::~TerminalStatusItem() {
  // Leave the last title on screen and the prompt on a fresh line below it.
  write(std::string(kReset) + std::string(kMouseOff) + std::string(kShowCursor) + "\r\n");
}

void TerminalStatusItem::setAttributedTitle(const AttributedString& title) {
  line_ = ansi(title);
  redraw();
}

void TerminalStatusItem::redraw() {
  std::string frame = "\r";
  frame += line_;
  frame += kClearToEnd;
  writeFrame(frame);
}

void TerminalStatusItem::writeMessageLine(std::string_view line) {
  write(kEraseLine);
  messages_(std::string(line) + "\r\n");
  redraw();
  // The message may have scrolled the screen or pushed the line down.
  askCursorRow();
}

void TerminalStatusItem::terminalResized() { askCursorRow(); }

void TerminalStatusItem::askCursorRow() {
  if (write("\x1b[6n")) ++rowQueries_;
}

void TerminalStatusItem::consumeInput(std::string_view bytes) {
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
