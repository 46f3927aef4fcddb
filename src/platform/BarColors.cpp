#include "platform/BarColors.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

constexpr Rgba kPureRed{1, 0, 0, 1};
constexpr Rgba kBlack{0, 0, 0, 1};
constexpr Rgba kWhite{1, 1, 1, 1};

double linear(double c) {
  c = std::clamp(c, 0.0, 1.0);
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double leastContrast(const Rgba& c, const std::vector<Rgba>& backgrounds) {
  double least = 21.0;
  for (const Rgba& b : backgrounds) least = std::min(least, contrastRatio(c, b));
  return least;
}

// The shade nearest `c` on its way to black or to white that reaches the minimum contrast with
// every background; where none does (two backgrounds far apart), the one that comes closest.
Rgba readableOn(const Rgba& c, const std::vector<Rgba>& backgrounds) {
  if (backgrounds.empty() || leastContrast(c, backgrounds) >= kMinimumContrast) return c;
  constexpr int kSteps = 64;
  Rgba best = c;
  double bestContrast = leastContrast(c, backgrounds);
  for (int step = 1; step <= kSteps; ++step) {
    const double t = static_cast<double>(step) / kSteps;
    for (const Rgba& end : {kBlack, kWhite}) {
      const Rgba shade = blend(c, end, t);
      const double contrast = leastContrast(shade, backgrounds);
      if (contrast >= kMinimumContrast) return shade;
      if (contrast > bestContrast) {
        best = shade;
        bestContrast = contrast;
      }
    }
  }
  return best;
}

}  // namespace

Rgba blend(const Rgba& from, const Rgba& to, double fraction) {
  const double f = std::clamp(fraction, 0.0, 1.0);
  // Exact at both ends: `from` at 0, `to` at 1.
  const auto mix = [f](double a, double b) { return (1.0 - f) * a + f * b; };
  return {mix(from.red, to.red), mix(from.green, to.green), mix(from.blue, to.blue),
          mix(from.alpha, to.alpha)};
}

double relativeLuminance(const Rgba& c) {
  return 0.2126 * linear(c.red) + 0.7152 * linear(c.green) + 0.0722 * linear(c.blue);
}

double contrastRatio(const Rgba& a, const Rgba& b) {
  const double la = relativeLuminance(a), lb = relativeLuminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

std::optional<double> rampFraction(const Color& core) {
  const Rgba c = core.rgba();
  // The core's ramp runs from black to pure red, opaque: red of brightness b is (b, 0, 0).
  if (c.alpha != 1.0 || c.green != 0.0 || c.blue != 0.0) return std::nullopt;
  return c.red;
}

DrawnColor drawnColor(const std::optional<Color>& core, const BarColors& bar) {
  if (!core) return {};
  if (core->isClear()) return {.kind = DrawnColor::Kind::clear, .rgba = core->rgba()};
  const std::optional<double> fraction = rampFraction(*core);
  if (!fraction) return {.kind = DrawnColor::Kind::rgb, .rgba = core->rgba()};
  if (*fraction <= 0.0) return {};
  // A text colour alone says nothing of what it is read against; then the neutral start, which
  // reads on either.
  const bool known = bar.text && !bar.backgrounds.empty();
  const Rgba shade =
      blend(known ? *bar.text : kNeutralStart, bar.red.value_or(kPureRed), *fraction);
  return {.kind = DrawnColor::Kind::rgb, .rgba = readableOn(shade, bar.backgrounds)};
}

}  // namespace platform
