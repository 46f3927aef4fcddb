// Font.h: the fonts a title may ask for.
#pragma once

namespace platform {

struct Font {
  // A size of 0.0 selects the platform's default size.
  static Font boldSystemFontOfSize(double size) { return Font{true, size}; }

  bool bold = false;
  double size = 0.0;
  bool operator==(const Font&) const = default;
};

}  // namespace platform
