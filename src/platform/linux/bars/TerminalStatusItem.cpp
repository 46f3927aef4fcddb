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
// The foreground's and the background's colour: the answers come in order, before the cursor
// position's, and a terminal that knows neither question answers only that one.
constexpr std::string_view kAskColors = "\x1b]10;?\x1b\\\x1b]11;?\x1b\\";
constexpr std::size_t kMaxSequence = 32;
constexpr std::size_t kMaxOsc = 64;

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

std::optional<double> hexComponent(std::string_view digits) {
  if (digits.empty() || digits.size() > 4) return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value / static_cast<double>((1u << (4 * digits.size())) - 1);
}

}  // namespace

std::optional<OscColor> parseOscColor(std::string_view body) {
  OscColor answer{};
  if (body.starts_with("10;")) {
    answer.which = 10;
  } else if (body.starts_with("11;")) {
    answer.which = 11;
  } else {
    return std::nullopt;
  }
  body.remove_prefix(3);
  if (!body.starts_with("rgb:")) return std::nullopt;
  body.remove_prefix(4);
  double c[3];
  for (int i = 0; i < 3; ++i) {
    const std::size_t slash = body.find('/');
    if ((i < 2) != (slash != std::string_view::npos)) return std::nullopt;
    const std::optional<double> component = hexComponent(body.substr(0, slash));
    if (!component) return std::nullopt;
    c[i] = *component;
    body.remove_prefix(i < 2 ? slash + 1 : body.size());
  }
  answer.color = {c[0], c[1], c[2], 1};
  return answer;
}

TerminalTraits terminalTraits(const char* term, const char* noColor, bool readable) {
  TerminalTraits traits;
  const std::string_view type = term ? term : "";
  traits.sequences = !type.empty() && type != "dumb";
  traits.colour = traits.sequences && !(noColor && *noColor);
  traits.mouse = traits.sequences && readable;
  return traits;
}

std::string TerminalStatusItem::ansi(const AttributedString& title, const TerminalTraits& traits,
                                     std::size_t columns, const BarColors& colors) {
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
    // The terminal's own foreground is left to it: many terminals are dark.
    if (const DrawnColor drawn = drawnColor(run.attributes.foregroundColor, colors);
        traits.sequences && traits.colour && drawn.kind == DrawnColor::Kind::rgb) {
      const Rgba c = drawn.rgba;
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
  // Asked only where the answers are read, as the cursor position is, and only for colour.
  const bool askColors = traits_.mouse && traits_.colour;
  if (askColors) setup += kAskColors;
  if (write(setup) && askColors) colorQueries_ = 2;
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
  colorQueries_ = 0;
  inSequence_ = inOsc_ = oscEscape_ = false;
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
  frame += ansi(title_, traits_, lineColumns(), barColors());
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
  // Only escape sequences matter: mouse reports, cursor position reports and colour answers.
  // Keys typed at the line are dropped.
  for (char c : bytes) {
    if (inOsc_) {
      // Ended by BEL or by ST (ESC \); an ESC followed by anything else starts a new sequence.
      if (oscEscape_) {
        oscEscape_ = inOsc_ = false;
        if (c == '\\') {
          handleOsc(std::string_view(sequence_).substr(2));
          continue;
        }
        inSequence_ = true;
        sequence_.assign(1, '\x1b');
        // `c` is that sequence's next byte.
      } else if (c == '\a') {
        inOsc_ = false;
        handleOsc(std::string_view(sequence_).substr(2));
        continue;
      } else if (c == '\x1b') {
        oscEscape_ = true;
        continue;
      } else {
        sequence_ += c;
        if (sequence_.size() > kMaxOsc) inOsc_ = false;
        continue;
      }
    }
    if (c == '\x1b') {
      inSequence_ = true;
      sequence_.assign(1, c);
      continue;
    }
    if (!inSequence_) continue;
    sequence_ += c;
    if (sequence_.size() == 2 && c == ']') {
      inSequence_ = false;
      inOsc_ = true;
    } else if (sequence_.size() == 2 && c != '[') {
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
    // Colour answers come before it: a terminal that has not sent them will not.
    colorQueries_ = 0;
    const std::vector<int> p = parameters(body);
    if (p.size() == 2 && p[0] > 0) row_ = p[0];
  }
}

void TerminalStatusItem::handleOsc(std::string_view body) {
  if (colorQueries_ <= 0) return;
  const std::optional<OscColor> answer = parseOscColor(body);
  if (!answer) return;
  --colorQueries_;
  (answer->which == 10 ? foreground_ : background_) = answer->color;
}

BarColors TerminalStatusItem::barColors() const {
  // One without the other says nothing of what is read against what.
  if (!foreground_ || !background_) return {};
  return {.text = foreground_, .backgrounds = {*background_}};
}

}  // namespace platform::linux_backend
