// GNUstepGaps.h: declarations only, for the Objective-C++ syntax check against GNUstep 0.29 and
// never for a real build. Each entry is AppKit API of macOS 10.12 to 10.14 that GNUstep's
// headers lack, declared with Apple's names and types so that the program's sources compile
// unchanged. Keep this list short: anything added here is checked only on macOS runners.
//
// The gaps:
//   - NSStatusItem.button (macOS 10.10)
//   - -[NSApplication setActivationPolicy:] (macOS 10.6)
//   - the NSEventType... and NSEventMask... names of mouse events (macOS 10.12)
//   - NSEventModifierFlagControl (macOS 10.12)
//   - +[NSColorSpace sRGBColorSpace] (macOS 10.5)
#pragma once

#import <AppKit/AppKit.h>

@interface NSStatusItem (SittingTimerGNUstepGaps)
@property(readonly, retain) NSStatusBarButton* button;
@end

@interface NSApplication (SittingTimerGNUstepGaps)
- (BOOL)setActivationPolicy:(NSApplicationActivationPolicy)activationPolicy;
@end

static const NSEventType NSEventTypeLeftMouseUp = NSLeftMouseUp;
static const NSEventType NSEventTypeRightMouseUp = NSRightMouseUp;
static const NSEventMask NSEventMaskLeftMouseUp = NSLeftMouseUpMask;
static const NSEventMask NSEventMaskRightMouseUp = NSRightMouseUpMask;
static const NSEventModifierFlags NSEventModifierFlagControl = NSControlKeyMask;

@interface NSColorSpace (SittingTimerGNUstepColorGaps)
+ (NSColorSpace*)sRGBColorSpace;
@end
