// What a mouse-up on the macOS status item means.
#include <gtest/gtest.h>

#include "platform/macos/StatusItemGesture.h"

namespace {

using platform::macos::gestureFor;
using platform::macos::StatusItemGesture;

TEST(StatusItemGesture, TheFirstClickOfAPairIsAClickAndTheSecondTheDoubleClick) {
  EXPECT_EQ(gestureFor(false, false, 1), StatusItemGesture::click);
  EXPECT_EQ(gestureFor(false, false, 2), StatusItemGesture::doubleClick);
  // A third quick click starts a new pair, as on the other bars.
  EXPECT_EQ(gestureFor(false, false, 3), StatusItemGesture::click);
  EXPECT_EQ(gestureFor(false, false, 4), StatusItemGesture::doubleClick);
}

TEST(StatusItemGesture, APressWithoutAMouseIsAClick) {
  EXPECT_EQ(gestureFor(false, false, 0), StatusItemGesture::click);
}

// Restarting the count, or quitting, when the user only wanted the menu would lose the count.
TEST(StatusItemGesture, TheRightButtonOrControlOpensTheMenuWhateverTheCount) {
  for (long count : {0L, 1L, 2L}) {
    EXPECT_EQ(gestureFor(true, false, count), StatusItemGesture::menu);
    EXPECT_EQ(gestureFor(false, true, count), StatusItemGesture::menu);
  }
}

}  // namespace
