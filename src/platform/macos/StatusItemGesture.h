// StatusItemGesture.h: what a mouse-up on the status item means. Plain C++, so that the rule is
// tested wherever the tests run; the AppKit side only reads the event.
#pragma once

namespace platform::macos {

enum class StatusItemGesture { click, doubleClick, menu };

// `clickCount` is AppKit's count of quick clicks in a row, within the system's double-click
// interval; 0 when the item was pressed without a mouse (keyboard, accessibility). The second
// click of a pair is the double-click, after the first was a click of its own; a third starts a
// new pair, as on the other bars. The right button, or the left with Control held, opens the
// menu, the Mac's usual secondary click.
inline StatusItemGesture gestureFor(bool rightButton, bool controlKey, long clickCount) {
  if (rightButton || controlKey) return StatusItemGesture::menu;
  return clickCount > 0 && clickCount % 2 == 0 ? StatusItemGesture::doubleClick
                                               : StatusItemGesture::click;
}

}  // namespace platform::macos
