// ZQAppDelegate.h: the application's controller. It owns the status item and the moment the
// current sitting period began, rebuilds the item's title once a second, blinks it while the
// user is away, restarts the count on a click and quits on a double-click.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "idle/IdleStateMachine.h"
#include "platform/Application.h"
#include "platform/AttributedString.h"
#include "platform/Color.h"
#include "platform/Date.h"
#include "platform/StatusItem.h"
#include "platform/Timer.h"

namespace platform {
class Window;  // never defined here: the application shows no window of its own
}

class ZQAppDelegate final : public platform::ApplicationDelegate {
 public:
  ZQAppDelegate();

  void applicationDidFinishLaunching() override;

  // One tick: update the idle state, start or stop the blinking, redraw the title.
  void updateTimer();
  // One blink tick: flip the blink phase, then a full tick.
  void updateBlinkTimer();

  void statusItemClicked();
  void statusItemDoubleClicked();

  // Whole seconds since the sitting period began; negative when the clock was set back.
  std::int32_t secondsSitting() const;
  // The bold, coloured duration label: "< 1 minute", minutes, then hours.
  platform::AttributedString durationSitting() const;

  static std::string_view pluralize(std::string_view singular, std::string_view plural,
                                    std::int32_t count);
  static void makeBold(platform::AttributedString& text);
  static void makeColor(platform::AttributedString& text, const platform::Color& color);
  static void makeTransparent(platform::AttributedString& text);

  platform::Window* window() const { return _window.load(); }
  void setWindow(platform::Window* window) { _window.store(window); }

 private:
  // Members are destroyed in reverse order, which is the teardown order: idleSM, blinkTimer,
  // statusItem, lastStartedSitting. _window is not owned.
  platform::Date lastStartedSitting;
  std::unique_ptr<platform::StatusItem> statusItem;
  std::shared_ptr<platform::Timer> blinkTimer;
  std::unique_ptr<IdleStateMachine> idleSM;
  bool blink = false;
  std::atomic<platform::Window*> _window{nullptr};
};
