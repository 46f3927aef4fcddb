// StatusItemGesture.h: what a press of the status item means. Plain C++, so that the rule is
// tested wherever the tests run; the AppKit side only reads the event.
#pragma once

namespace platform::macos {

enum class StatusItemGesture { click, doubleClick, menu };

// What AppKit's current event says when the item's action runs. A press without a mouse (the
// keyboard, VoiceOver and other accessibility clients calling performClick:) has no event of
// its own: the current event is then whatever came last, perhaps a right-button release over
// the item's menu or another window, long ago.
struct ItemEvent {
  enum class Kind { leftMouseUp, rightMouseUp, other };
  Kind kind = Kind::other;
  bool inItemWindow = false;  // the event's window is the one of the item's button
  bool controlKey = false;
  long clickCount = 0;  // AppKit's count of quick clicks in a row, for a mouse event
};

// The event is believed only when it is a mouse-up in the item's own window, the one that sends
// the action; anything else is a plain click, so that a stale event never opens the menu or
// quits. The second click of a pair is the double-click, after the first was a click of its
// own; a third starts a new pair, as on the other bars. The right button, or the left with
// Control held, opens the menu, the Mac's usual secondary click.
inline StatusItemGesture gestureFor(const ItemEvent& event) {
  if (event.kind == ItemEvent::Kind::other || !event.inItemWindow) return StatusItemGesture::click;
  if (event.kind == ItemEvent::Kind::rightMouseUp || event.controlKey)
    return StatusItemGesture::menu;
  return event.clickCount > 0 && event.clickCount % 2 == 0 ? StatusItemGesture::doubleClick
                                                           : StatusItemGesture::click;
}

}  // namespace platform::macos
