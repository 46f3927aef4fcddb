// ApplicationMain.mm: the application main on macOS. NSApplicationMain runs the application,
// with an application delegate that puts the platform together once launching has finished and
// takes it apart when the application terminates. No Dock icon, no window, no menu bar of its
// own: the status item is the whole user interface.

#import <AppKit/AppKit.h>

#include <memory>

#include "platform/Application.h"
#include "platform/ComposedBackend.h"
#include "platform/macos/AppKitStatusBar.h"
#include "platform/macos/CFRunLoopEventLoop.h"
#include "platform/macos/HIDIdleSource.h"

#if defined(__clang__) && !__has_feature(objc_arc)
#error "ApplicationMain.mm relies on automatic reference counting: compile it with -fobjc-arc"
#endif

@interface SittingTimerApplicationDelegate : NSObject <NSApplicationDelegate> {
  platform::DelegateFactory makeDelegate_;
  platform::ComposedBackend* backend_;
  platform::Application* application_;
}
- (instancetype)initWithDelegateFactory:(platform::DelegateFactory)makeDelegate;
@end

@implementation SittingTimerApplicationDelegate

- (instancetype)initWithDelegateFactory:(platform::DelegateFactory)makeDelegate {
  self = [super init];
  if (self) {
    makeDelegate_ = makeDelegate;
    backend_ = nullptr;
    application_ = nullptr;
  }
  return self;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
  (void)notification;
  // The program's terminate ends the RunLoop; AppKit runs the CFRunLoop, so it is asked to
  // terminate instead, on a later pass.
  auto loop = std::make_unique<platform::macos::CFRunLoopEventLoop>(
      [] { [NSApp performSelector:@selector(terminate:) withObject:nil afterDelay:0.0]; });
  loop->onTerminationSignals([] { [NSApp terminate:nil]; });
  backend_ = new platform::ComposedBackend(std::move(loop), platform::macos::makeAppKitStatusBar(),
                                           std::make_unique<platform::macos::HIDIdleSource>());
  application_ = new platform::Application(*backend_, makeDelegate_);
}

// terminate: ends the process with exit() once this returns, so nothing on main's stack is ever
// destroyed: the controller's objects go here, in their order, before the platform parts.
- (void)applicationWillTerminate:(NSNotification*)notification {
  (void)notification;
  // The Application releases the controller (idle state machine, blink timer, status item,
  // start moment), then drops whatever the run loop still holds.
  delete application_;
  application_ = nullptr;
  delete backend_;
  backend_ = nullptr;
}

@end

namespace platform {

// Within this namespace NSApp is the program's own application; AppKit's is ::NSApp.
int NSApplicationMain(int argc, char** argv, DelegateFactory makeDelegate) {
  // NSApp holds its delegate unowned; this one must live as long as the process.
  static SittingTimerApplicationDelegate* delegate;
  [NSApplication sharedApplication];
  // What LSUIElement says in the bundle, also when the binary is started on its own.
  [::NSApp setActivationPolicy:NSApplicationActivationPolicyAccessory];
  delegate = [[SittingTimerApplicationDelegate alloc] initWithDelegateFactory:makeDelegate];
  [::NSApp setDelegate:delegate];
  return ::NSApplicationMain(argc, const_cast<const char**>(argv));
}

}  // namespace platform
