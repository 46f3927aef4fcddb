// BarColors.h: the duration's colour as a bar draws it. The core colours the count as if on a
// light bar with black text (black, then ever brighter red); a bar draws that ramp from its own
// text colour instead, and keeps every shade readable on its background.
#pragma once

#include <optional>
#include <vector>

#include "platform/Color.h"

namespace platform {

// What a host tells of its bar's colours; whatever it cannot tell stays empty.
struct BarColors {
  std::optional<Rgba> text = std::nullopt;
  // Every background the item is drawn on (a bar may colour the focused output's differently).
  std::vector<Rgba> backgrounds = {};
  // The host's own red, where it has one (the menu bar's system red); pure red otherwise.
  std::optional<Rgba> red = std::nullopt;
  bool operator==(const BarColors&) const = default;
};

// How one run is drawn.
struct DrawnColor {
  enum class Kind {
    barText,  // in the bar's own text colour: the bar's default, no colour of our own
    clear,    // not at all (the blink's hidden frame)
    rgb,      // in `rgba`
  };
  Kind kind = Kind::barText;
  Rgba rgba{0, 0, 0, 1};
  bool operator==(const DrawnColor&) const = default;
};

// The colour to draw a run in that the core coloured `core` (none: the bar's text colour), on a
// bar with `bar`'s colours. Black is the bar's text colour; the ramp's red of brightness b is
// the blend of the bar's text colour and red by b, per sRGB component, so that black text gives
// the core's own colours. Without a text colour and a background to go with it, the ramp starts
// from a grey as luminous as pure red, readable on black and on white alike. A shade below 3:1
// against a known background is darkened or lightened until it reaches 3:1.
DrawnColor drawnColor(const std::optional<Color>& core, const BarColors& bar);

// How far along the ramp the core's colour is: 0 for black, b for the red of brightness b;
// nothing for a colour off the ramp (clear included).
std::optional<double> rampFraction(const Color& core);

// Per-component blend of two colours in sRGB: `from` at 0, `to` at 1.
Rgba blend(const Rgba& from, const Rgba& to, double fraction);

// WCAG 2 relative luminance and contrast ratio (1 to 21), alpha ignored.
double relativeLuminance(const Rgba& c);
double contrastRatio(const Rgba& a, const Rgba& b);

// The least contrast a shade must have against a known background.
inline constexpr double kMinimumContrast = 3.0;

// The neutral grey as luminous as pure red (relative luminance 0.2126): every blend of it with
// red has at least 3:1 against black and against white.
inline constexpr Rgba kNeutralStart{127.0 / 255, 127.0 / 255, 127.0 / 255, 1};

}  // namespace platform
