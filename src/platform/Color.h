// Color.h: text colours as the status item draws them.
#pragma once

namespace platform {

struct Rgba {
  double red, green, blue, alpha;  // each within 0..1
  bool operator==(const Rgba&) const = default;
};

class Color {
 public:
  static Color blackColor();
  static Color clearColor();

  // Components outside 0..1 count as the nearest limit, so callers may pass ramps unclamped.
  static Color colorWithCalibratedHueSaturationBrightnessAlpha(double hue, double saturation,
                                                               double brightness, double alpha);

  // What a backend draws.
  Rgba rgba() const { return rgba_; }
  bool isBlack() const { return rgba_ == Rgba{0, 0, 0, 1}; }
  bool isClear() const { return rgba_.alpha == 0.0; }

  bool operator==(const Color&) const = default;

 private:
  explicit Color(Rgba rgba) : rgba_(rgba) {}
  Rgba rgba_;
};

}  // namespace platform
