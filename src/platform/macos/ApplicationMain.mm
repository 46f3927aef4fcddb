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
#include "platform/macos/TerminationSignals.h"

#if defined(__clang__) && !__has_feature(objc_arc)
#error "ApplicationMain.mm relies on automatic reference counting: compile it with -fobjc-arc"
#endif

@interface SittingTimerApplicationDelegate : NSObject <NSApplicationDelegate> {
  platform::DelegateFactory makeDelegate_;
  platform::ComposedBackend* backend_;
  platform::Application* application_;
  BOOL launched_;
  BOOL terminateOnceLaunched_;
  id<NSObject> activity_;
}
- (instancetype)initWithDelegateFactory:(platform::DelegateFactory)makeDelegate;
// What a termination signal asks for: the ordinary termination, once launching has finished.
- (void)terminateOnceLaunched;
@end

@implementation SittingTimerApplicationDelegate

- (instancetype)initWithDelegateFactory:(platform::DelegateFactory)makeDelegate {
  self = [super init];
  if (self) {
    makeDelegate_ = makeDelegate;
    backend_ = nullptr;
    application_ = nullptr;
    launched_ = NO;
    terminateOnceLaunched_ = NO;
  }
  return self;
}

- (void)terminateOnceLaunched {
  // Before launching has finished there is nothing to take apart yet, and terminate: would come
  // before the delegate has been told that launching finished.
  if (launched_) {
    [NSApp terminate:nil];
  } else {
    terminateOnceLaunched_ = YES;
  }
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
  (void)notification;
  // The program's terminate ends the RunLoop; AppKit runs the CFRunLoop, so it is asked to
  // terminate instead, on a later pass.
  auto loop = std::make_unique<platform::macos::CFRunLoopEventLoop>(
      [] { [NSApp performSelector:@selector(terminate:) withObject:nil afterDelay:0.0]; });
  backend_ = new platform::ComposedBackend(std::move(loop), platform::macos::makeAppKitStatusBar(),
                                           std::make_unique<platform::macos::HIDIdleSource>());
  application_ = new platform::Application(*backend_, makeDelegate_);

  // An accessory app with no window could be napped: its timers would then fire seconds late,
  // and the count and the blink would stall. The activity keeps them on time and still lets the
  // Mac sleep when idle.
  activity_ = [[NSProcessInfo processInfo]
      beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep
                        reason:@"Counting the time sitting and blinking while the user is away"];

  launched_ = YES;
  if (terminateOnceLaunched_) {
    [NSApp performSelector:@selector(terminate:) withObject:nil afterDelay:0.0];
  }
}

// Nothing is restored between runs, but AppKit warns on macOS 14 and later unless restorable
// state is declared to be encoded securely.
- (BOOL)applicationSupportsSecureRestorableState:(NSApplication*)application {
  (void)application;
  return YES;
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
  // First of all, before AppKit starts launching: a signal during it would otherwise end the
  // process at once. The handlers stay for the life of the process.
  static auto* signals =
      new platform::macos::TerminationSignals([] { [delegate terminateOnceLaunched]; });
  (void)signals;
  [NSApplication sharedApplication];
  // What LSUIElement says in the bundle, also when the binary is started on its own.
  [::NSApp setActivationPolicy:NSApplicationActivationPolicyAccessory];
  delegate = [[SittingTimerApplicationDelegate alloc] initWithDelegateFactory:makeDelegate];
  [::NSApp setDelegate:delegate];
  return ::NSApplicationMain(argc, const_cast<const char**>(argv));
}

}  // namespace platform
