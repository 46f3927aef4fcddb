// The way out on a Mac (macOS only, with a window server): the item's Quit, sent to the same
// target as the menu's, reaches the controller's double action, which stops the run loop; the
// loop then asks AppKit to terminate on a later pass, and the process exits with status 0 after
// the teardown, from within NSApplicationMain.

// GoogleTest first, before the system's macros from AppKit's headers.
#include <gtest/gtest.h>

#import <AppKit/AppKit.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/ZQAppDelegate.h"
#include "platform/Application.h"
#include "platform/Timer.h"

#if defined(__clang__) && !__has_feature(objc_arc)
#error "app_quit_test.mm relies on automatic reference counting: compile it with -fobjc-arc"
#endif

namespace {

NSStatusBarButton* buttonIn(NSView* view) {
  if ([view isKindOfClass:[NSStatusBarButton class]]) return (NSStatusBarButton*)view;
  NSArray* subviews = view.subviews;
  for (NSUInteger i = 0; i < subviews.count; ++i) {
    if (NSStatusBarButton* button = buttonIn([subviews objectAtIndex:i])) return button;
  }
  return nil;
}

// The item's button, found among the application's windows as the window server shows it.
NSStatusBarButton* itemButton() {
  NSArray* windows = [NSApp windows];
  for (NSUInteger i = 0; i < windows.count; ++i) {
    NSWindow* window = [windows objectAtIndex:i];
    if (NSStatusBarButton* button = buttonIn(window.contentView)) return button;
  }
  return nil;
}

// The program's controller, and a user who chooses Quit once the item is in the menu bar.
class QuittingDelegate final : public platform::ApplicationDelegate {
 public:
  void applicationDidFinishLaunching() override {
    controller_.applicationDidFinishLaunching();
    platform::Timer::scheduledTimerWithTimeInterval(
        0.5,
        [] {
          NSStatusBarButton* button = itemButton();
          if (!button || ![button.target respondsToSelector:@selector(quit:)]) {
            std::fprintf(stderr, "no status item with a Quit among the windows\n");
            std::_Exit(3);
          }
          [NSApp sendAction:@selector(quit:) to:button.target from:nil];
        },
        false);
  }

 private:
  ZQAppDelegate controller_;
};

// The child's whole life: the program's application main, with the user above.
void runTheApplication() {
  // Ended by SIGALRM, not status 0, if Quit never ends the process.
  alarm(20);
  char name[] = "Sitting Timer";
  char* argv[] = {name, nullptr};
  platform::NSApplicationMain(1, argv, platform::makeDelegate<QuittingDelegate>);
  std::fprintf(stderr, "NSApplicationMain returned\n");
  std::_Exit(5);
}

TEST(AppKitQuit, QuitEndsTheProcessWithStatusZeroThroughTheDeferredTerminate) {
  // A child that starts afresh: AppKit does not survive a fork.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(runTheApplication(), testing::ExitedWithCode(0), "");
}

}  // namespace
