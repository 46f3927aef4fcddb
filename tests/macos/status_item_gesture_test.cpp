// What a press of the macOS status item means, when AppKit's current event belongs to it and
// when it is left over from something else.
#include <gtest/gtest.h>

#include "platform/macos/StatusItemGesture.h"

namespace {

using platform::macos::gestureFor;
using platform::macos::ItemEvent;
using platform::macos::StatusItemGesture;
using Kind = ItemEvent::Kind;

ItemEvent onItem(Kind kind, long clickCount, bool control = false) {
  return ItemEvent{kind, true, control, clickCount};
}

// VoiceOver's press, or the keyboard's, comes without an event of its own: believing the last
// one would open the menu instead of restarting the count, or quit.
TEST(StatusItemGesture, APressWithAStaleEventIsAPlainClick) {
  struct Stale {
    const char* what;
    ItemEvent event;
  };
  for (const Stale& s : {
           Stale{"no event at all", ItemEvent{}},
           Stale{"a right-button release over the menu",
                 ItemEvent{Kind::rightMouseUp, false, false, 1}},
           Stale{"a Control-click elsewhere", ItemEvent{Kind::leftMouseUp, false, true, 1}},
           Stale{"the second click of a pair elsewhere",
                 ItemEvent{Kind::leftMouseUp, false, false, 2}},
           // A press, a key or a scroll in the item's own window is not what sends the action.
           Stale{"some other event in the item's window", ItemEvent{Kind::other, true, true, 2}},
       }) {
    SCOPED_TRACE(s.what);
    EXPECT_EQ(gestureFor(s.event), StatusItemGesture::click);
  }
}

TEST(StatusItemGesture, OnTheItemTheSecondClickOfAPairIsTheDoubleClickAndAThirdStartsAgain) {
  EXPECT_EQ(gestureFor(onItem(Kind::leftMouseUp, 1)), StatusItemGesture::click);
  EXPECT_EQ(gestureFor(onItem(Kind::leftMouseUp, 2)), StatusItemGesture::doubleClick);
  EXPECT_EQ(gestureFor(onItem(Kind::leftMouseUp, 3)), StatusItemGesture::click);
  EXPECT_EQ(gestureFor(onItem(Kind::leftMouseUp, 4)), StatusItemGesture::doubleClick);
}

// Restarting the count, or quitting, when the user only wanted the menu would lose the count.
TEST(StatusItemGesture, OnTheItemTheRightButtonOrControlOpensTheMenuWhateverTheCount) {
  for (long count : {1L, 2L}) {
    SCOPED_TRACE(count);
    EXPECT_EQ(gestureFor(onItem(Kind::rightMouseUp, count)), StatusItemGesture::menu);
    EXPECT_EQ(gestureFor(onItem(Kind::leftMouseUp, count, true)), StatusItemGesture::menu);
  }
}

}  // namespace
