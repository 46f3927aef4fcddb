// I3barStatusItem.h: the item as one block of the i3bar protocol, which i3bar, swaybar and
// other bars read from a status command's standard output.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/BarColors.h"
#include "platform/linux/bars/LinuxStatusItem.h"

namespace platform::linux_backend {

class I3barStatusItem final : public LinuxStatusItem {
 public:
  // Longer input lines are dropped whole: a click event is well under 1 KiB.
  static constexpr std::size_t kMaxLine = 4096;

  // Writes the protocol header at once, so the bar knows what to expect before the first title.
  I3barStatusItem(Writer out, Writer messages, Clock clock);

  void setAttributedTitle(const AttributedString& title) override;
  // The bar draws no pressed state for a block.
  void setHighlightMode(bool) override {}
  void consumeInput(std::string_view bytes) override;
  void writeMessageLine(std::string_view line) override;

  // The bar's colours, as far as they are known; they take effect from the next title.
  void setBarColors(const BarColors& colors) { colors_ = colors; }
  const BarColors& barColors() const { return colors_; }

  // The block for `title` on a bar with `colors`: Pango markup, or a blank of the same width
  // when the title is drawn transparent.
  static nlohmann::json block(const AttributedString& title, const BarColors& colors = {});
  static std::string pangoMarkup(const AttributedString& title, const BarColors& colors = {});

 private:
  void handleLine(std::string_view line);

  Writer messages_;
  BarColors colors_;
  std::string lastLine_;
  bool anyArray_ = false;         // an array has been written, and so the next one needs a comma
  bool waitingHasComma_ = false;  // the lead of the array that still waits to go out
  std::string pending_;
  bool skippingLongLine_ = false;
};

}  // namespace platform::linux_backend
