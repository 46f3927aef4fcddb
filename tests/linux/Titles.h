// Titles.h: titles as the controller builds them, for the bars' in-process tests.
#pragma once

#include <optional>
#include <string_view>

#include "platform/AttributedString.h"
#include "platform/Color.h"
#include "platform/Font.h"

namespace testing_support {

// "Time Sitting: " and the bold label in `color`; no colour attribute at all when none is given.
inline platform::AttributedString title(
    std::string_view label, std::optional<platform::Color> color = platform::Color::blackColor()) {
  platform::AttributedString t("Time Sitting: ");
  platform::AttributedString l(label);
  l.addAttributes({.font = platform::Font::boldSystemFontOfSize(0)}, {0, l.length()});
  if (color) l.addAttributes({.foregroundColor = color}, {0, l.length()});
  t.appendAttributedString(l);
  return t;
}

// The blink's hidden frame of `t`.
inline platform::AttributedString hidden(platform::AttributedString t) {
  t.addAttributes({.foregroundColor = platform::Color::clearColor()}, {0, t.length()});
  return t;
}

}  // namespace testing_support
