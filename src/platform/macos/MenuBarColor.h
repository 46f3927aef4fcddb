// MenuBarColor.h: the duration's colour in the menu bar, as plain C++ so that it is tested
// everywhere. AppKit resolves the menu bar's label colour and system red in the appearance the
// item is drawn in (the menu bar's, which can be dark while the application's is light); this
// turns them into the colour drawn.
#pragma once

#include "platform/BarColors.h"

namespace platform::macos {

// The colour of a run the core coloured `core`, given the label colour and the system red as
// resolved in the drawing appearance. The menu bar's background is not known exactly (it is
// translucent over the wallpaper), but its label colour tells which kind it is: light text is
// read on a dark bar, dark text on a light one.
inline DrawnColor menuBarColor(const Color& core, const Rgba& label, const Rgba& systemRed) {
  const Rgba opaque{label.red, label.green, label.blue, 1};
  const Rgba background = relativeLuminance(opaque) > 0.18 ? Rgba{0, 0, 0, 1} : Rgba{1, 1, 1, 1};
  return drawnColor(core, {.text = label, .backgrounds = {background}, .red = systemRed});
}

}  // namespace platform::macos
