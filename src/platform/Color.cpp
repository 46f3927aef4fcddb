#include "platform/Color.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

double clampUnit(double v) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0); }

}  // namespace

Color Color::blackColor() { return Color({0, 0, 0, 1}); }

Color Color::clearColor() { return Color({0, 0, 0, 0}); }

Color Color::colorWithCalibratedHueSaturationBrightnessAlpha(double hue, double saturation,
                                                             double brightness, double alpha) {
  const double h = clampUnit(hue), s = clampUnit(saturation), v = clampUnit(brightness);
  // Hue 1.0 is the same red as 0.0: wrap it into the first sector.
  const double sector = std::fmod(h * 6.0, 6.0);
  const int i = static_cast<int>(sector);
  const double f = sector - i;
  const double p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
  const Rgba bySector[6] = {{v, t, p, 0}, {q, v, p, 0}, {p, v, t, 0},
                            {p, q, v, 0}, {t, p, v, 0}, {v, p, q, 0}};
  Rgba c = bySector[i];
  c.alpha = clampUnit(alpha);
  return Color(c);
}

}  // namespace platform
