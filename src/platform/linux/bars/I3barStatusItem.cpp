#include "platform/linux/bars/I3barStatusItem.h"

#include <cstdio>

namespace platform::linux_backend {

namespace {

std::string escapeMarkup(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string I3barStatusItem::pangoMarkup(const AttributedString& title, const BarColors& colors) {
  std::string markup;
  for (const auto& run : title.runs()) {
    const std::string text =
        escapeMarkup(std::string_view(title.string()).substr(run.range.location, run.range.length));
    std::string span;
    if (run.attributes.font && run.attributes.font->bold) span += " weight=\"bold\"";
    // The bar's own text colour is left to the bar: on the usual dark bar, black text is
    // unreadable. A clear colour is handled for the whole title, not per run.
    if (const DrawnColor drawn = drawnColor(run.attributes.foregroundColor, colors);
        drawn.kind == DrawnColor::Kind::rgb) {
      char hex[8];
      const Rgba c = drawn.rgba;
      std::snprintf(hex, sizeof hex, "#%02x%02x%02x", colorByte(c.red), colorByte(c.green),
                    colorByte(c.blue));
      span += " foreground=\"" + std::string(hex) + "\"";
    }
    markup += span.empty() ? text : "<span" + span + ">" + text + "</span>";
  }
  return markup;
}

nlohmann::json I3barStatusItem::block(const AttributedString& title, const BarColors& colors) {
  nlohmann::json block = {{"name", "sitting"}, {"markup", "pango"}};
  if (drawnTransparent(title)) {
    // Pango alpha is drawn opaque by some bars, so a hidden title is a blank that keeps the
    // width of the visible one.
    AttributedString visible(title.string());
    for (const auto& run : title.runs()) {
      if (run.attributes.font) visible.addAttributes({.font = run.attributes.font}, run.range);
    }
    block["full_text"] = " ";
    block["min_width"] = pangoMarkup(visible, colors);
  } else {
    block["full_text"] = pangoMarkup(title, colors);
  }
  return block;
}

I3barStatusItem::I3barStatusItem(Writer out, Writer messages, Clock clock)
    : LinuxStatusItem(std::move(out), std::move(clock)), messages_(std::move(messages)) {
  write("{\"version\":1,\"click_events\":true}\n");
  write("[\n");
}

void I3barStatusItem::setAttributedTitle(const AttributedString& title) {
  const std::string line = nlohmann::json::array({block(title, colors_)})
                               .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  // The bar redraws on every line it reads: only changes are worth a wakeup.
  if (line == lastLine_) return;
  lastLine_ = line;
  // Arrays are elements of one endless array, so each after the first is led by a comma. An
  // array still waiting for a slow bar is replaced by this one, which takes over its lead: the
  // stream stays valid JSON whatever is dropped.
  const bool comma = frameWaiting() ? waitingHasComma_ : anyArray_;
  writeFrame((comma ? "," : "") + line + "\n");
  anyArray_ = true;
  waitingHasComma_ = comma;
}

void I3barStatusItem::writeMessageLine(std::string_view line) {
  messages_(std::string(line) + "\n");
}

void I3barStatusItem::consumeInput(std::string_view bytes) {
  for (char c : bytes) {
    if (c == '\n') {
      if (!skippingLongLine_) handleLine(pending_);
      pending_.clear();
      skippingLongLine_ = false;
    } else if (pending_.size() < kMaxLine) {
      pending_ += c;
    } else {
      pending_.clear();
      skippingLongLine_ = true;
    }
  }
}

void I3barStatusItem::handleLine(std::string_view line) {
  // Events come as the elements of one endless array: "[" alone, then objects, each after the
  // first led by a comma; bars differ in where they put the comma and the spaces.
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!line.empty() && (isSpace(line.front()) || line.front() == ',' || line.front() == '['))
    line.remove_prefix(1);
  while (!line.empty() && (isSpace(line.back()) || line.back() == ',')) line.remove_suffix(1);
  if (line.empty()) return;

  const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
  if (!event.is_object()) return;
  const auto name = event.find("name");
  const auto button = event.find("button");
  if (name == event.end() || *name != "sitting") return;
  if (button == event.end() || !button->is_number_integer() || *button != 1) return;
  press();
}

}  // namespace platform::linux_backend
