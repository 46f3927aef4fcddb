// AppKitStatusBar.mm: the item in the macOS menu bar, on the AppKit calls of macOS 10.14 and
// later. Only what touches AppKit lives here; what a click means is decided in
// StatusItemGesture.h.
//
// Shows: the title as styled text on the item's button, bold and coloured. Black is drawn as the
// menu bar's own text colour (labelColor), which stays readable when the menu bar is dark, and
// the red ramp runs from that colour to the system red (MenuBarColor.h); the blink's hidden
// frames are drawn in the clear colour, which keeps the item's width.
// Takes: a click, a double-click within the system's double-click interval, and a menu with
// "Restart" and "Quit" on a right-click or Control-click, the way out for a user who does not
// know the double-click (there is no Dock icon and no menu bar of the application's own). A press
// without a mouse (keyboard, VoiceOver) is a click.
// Lacks: nothing the program asks for; the highlight while pressed is the button's own.

#import <AppKit/AppKit.h>

#include <cstdio>
#include <string>

#include "platform/macos/AppKitStatusBar.h"
#include "platform/macos/MenuBarColor.h"
#include "platform/macos/StatusItemGesture.h"

#if defined(__clang__) && !__has_feature(objc_arc)
#error "AppKitStatusBar.mm relies on automatic reference counting: compile it with -fobjc-arc"
#endif

namespace platform::macos {

// What the item's button and menu deliver.
class ItemEvents {
 public:
  virtual void buttonPressed() = 0;
  virtual void restartChosen() = 0;
  virtual void quitChosen() = 0;

 protected:
  ~ItemEvents() = default;
};

}  // namespace platform::macos

// The Objective-C end of the item's button and menu. It holds the C++ item unowned; the item
// detaches it before going, so a late action finds nobody.
@interface SittingTimerItemTarget : NSObject {
  platform::macos::ItemEvents* item_;
}
- (instancetype)initWithItem:(platform::macos::ItemEvents*)item;
- (void)detach;
- (void)buttonPressed:(id)sender;
- (void)restart:(id)sender;
- (void)quit:(id)sender;
@end

namespace platform::macos {

namespace {

Rgba componentsOf(NSColor* color) {
  NSColor* rgb = [color colorUsingColorSpace:[NSColorSpace sRGBColorSpace]];
  if (!rgb) return {0, 0, 0, 1};
  return {rgb.redComponent, rgb.greenComponent, rgb.blueComponent, rgb.alphaComponent};
}

// `core` drawn with the label colour and the system red of the current drawing appearance.
NSColor* resolvedColor(const Color& core) {
  const DrawnColor drawn = menuBarColor(core, componentsOf([NSColor labelColor]),
                                        componentsOf([NSColor systemRedColor]));
  if (drawn.kind != DrawnColor::Kind::rgb) return [NSColor labelColor];
  const Rgba& c = drawn.rgba;
  return [NSColor colorWithSRGBRed:c.red green:c.green blue:c.blue alpha:c.alpha];
}

NSColor* colorFor(const std::optional<Color>& color) {
  // Text without a colour of its own would be drawn black, which vanishes on a dark menu bar.
  if (!color) return [NSColor labelColor];
  if (color->isClear()) return [NSColor clearColor];
  const std::optional<double> fraction = rampFraction(*color);
  if (!fraction) {
    const Rgba c = color->rgba();
    return [NSColor colorWithCalibratedRed:c.red green:c.green blue:c.blue alpha:c.alpha];
  }
  if (*fraction <= 0.0) return [NSColor labelColor];
  const Color core = *color;
#if defined(__BLOCKS__)
  // Resolved each time it is drawn, in the appearance it is drawn in: the menu bar's changes
  // with the wallpaper and with dark mode, between two titles.
  return [NSColor colorWithName:nil
                dynamicProvider:^NSColor*(NSAppearance* appearance) {
                  __block NSColor* resolved = nil;
                  [appearance performAsCurrentDrawingAppearance:^{
                    resolved = resolvedColor(core);
                  }];
                  return resolved;
                }];
#else
  // Compilers without blocks only check this file's syntax: resolved once, here.
  return resolvedColor(core);
#endif
}

NSFont* fontFor(const std::optional<Font>& font) {
  // Text without a font of its own would be drawn in the styled-text default, Helvetica 12;
  // the system font at the same size as the bold one matches the menu bar instead.
  const double size = font ? font->size : 0.0;
  if (font && font->bold) return [NSFont boldSystemFontOfSize:size];
  return [NSFont systemFontOfSize:size];
}

NSAttributedString* attributedRun(const std::string& text, const AttributedString::Run& run) {
  NSString* piece = [[NSString alloc] initWithBytes:text.data() + run.range.location
                                             length:run.range.length
                                           encoding:NSUTF8StringEncoding];
  // A run that cuts a character in two is not text: that run is left out, the rest is drawn.
  if (!piece) return nil;
  id values[] = {fontFor(run.attributes.font), colorFor(run.attributes.foregroundColor)};
  id keys[] = {NSFontAttributeName, NSForegroundColorAttributeName};
  NSDictionary* attributes = [NSDictionary dictionaryWithObjects:values forKeys:keys count:2];
  return [[NSAttributedString alloc] initWithString:piece attributes:attributes];
}

}  // namespace

class AppKitStatusItem final : public StatusItem, private ItemEvents {
 public:
  explicit AppKitStatusItem(double length)
      : item_([[NSStatusBar systemStatusBar] statusItemWithLength:length]),
        target_([[SittingTimerItemTarget alloc] initWithItem:this]),
        menu_([[NSMenu alloc] initWithTitle:@""]) {
    NSStatusBarButton* button = item_.button;
    button.target = target_;
    button.action = @selector(buttonPressed:);
    // Each click of a double-click, and the right button, reach the action.
    [button sendActionOn:NSEventMaskLeftMouseUp | NSEventMaskRightMouseUp];

    NSMenuItem* restart = [menu_ addItemWithTitle:@"Restart"
                                           action:@selector(restart:)
                                    keyEquivalent:@""];
    restart.target = target_;
    NSMenuItem* quit = [menu_ addItemWithTitle:@"Quit" action:@selector(quit:) keyEquivalent:@""];
    quit.target = target_;
  }

  ~AppKitStatusItem() override {
    [target_ detach];
    [[NSStatusBar systemStatusBar] removeStatusItem:item_];
  }

  void setAttributedTitle(const AttributedString& title) override {
    // Runs on the main thread inside AppKit's run loop, which drains its autorelease pool on
    // every pass: no pool of its own is needed.
    NSMutableAttributedString* text = [[NSMutableAttributedString alloc] init];
    for (const AttributedString::Run& run : title.runs()) {
      if (NSAttributedString* piece = attributedRun(title.string(), run)) {
        [text appendAttributedString:piece];
      }
    }
    item_.button.attributedTitle = text;
  }

  // The button highlights while pressed by itself.
  void setHighlightMode(bool) override {}

  void buttonPressed() override {
    switch (gestureFor(itemEvent([::NSApp currentEvent]))) {
      case StatusItemGesture::click:
        sendAction();
        break;
      case StatusItemGesture::doubleClick:
        sendDoubleAction();
        break;
      case StatusItemGesture::menu:
        showMenu();
        break;
    }
  }

  void restartChosen() override { sendAction(); }
  void quitChosen() override { sendDoubleAction(); }

 private:
  // The current event as the gesture rule reads it; clickCount raises for anything but a mouse
  // event, so it is read only from one.
  ItemEvent itemEvent(NSEvent* event) const {
    ItemEvent read;
    if (!event) return read;
    if (event.type == NSEventTypeLeftMouseUp) {
      read.kind = ItemEvent::Kind::leftMouseUp;
    } else if (event.type == NSEventTypeRightMouseUp) {
      read.kind = ItemEvent::Kind::rightMouseUp;
    } else {
      return read;
    }
    read.inItemWindow = event.window != nil && event.window == item_.button.window;
    read.controlKey = (event.modifierFlags & NSEventModifierFlagControl) != 0;
    read.clickCount = static_cast<long>(event.clickCount);
    return read;
  }

  void showMenu() {
    // The menu belongs to the item only while it is open: with a menu set, a plain click would
    // open it instead of restarting the count. The click returns once the menu has closed.
    item_.menu = menu_;
    [item_.button performClick:nil];
    item_.menu = nil;
  }

  NSStatusItem* item_;
  SittingTimerItemTarget* target_;
  NSMenu* menu_;
};

namespace {

class AppKitStatusBar final : public StatusBar {
 public:
  std::unique_ptr<StatusItem> statusItemWithLength(double length) override {
    return std::make_unique<AppKitStatusItem>(length);
  }

  // Standard output is free here: the bar is AppKit's, not a pipe.
  void writeMessageLine(std::string_view line) override {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
};

}  // namespace

std::unique_ptr<StatusBar> makeAppKitStatusBar() { return std::make_unique<AppKitStatusBar>(); }

}  // namespace platform::macos

@implementation SittingTimerItemTarget

- (instancetype)initWithItem:(platform::macos::ItemEvents*)item {
  self = [super init];
  if (self) item_ = item;
  return self;
}

- (void)detach {
  item_ = nullptr;
}

- (void)buttonPressed:(id)sender {
  (void)sender;
  if (item_) item_->buttonPressed();
}

- (void)restart:(id)sender {
  (void)sender;
  if (item_) item_->restartChosen();
}

- (void)quit:(id)sender {
  (void)sender;
  if (item_) item_->quitChosen();
}

@end
