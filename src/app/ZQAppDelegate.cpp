#include "app/ZQAppDelegate.h"

#include <cmath>
#include <limits>
#include <string>

namespace {

constexpr std::string_view kTitlePrefix = "Time Sitting: ";

// The count is a signed 32-bit integer: substituted for the one "%d" in `format`.
std::string stringWithFormat(std::string_view format, std::int32_t n) {
  std::string text(format);
  if (auto at = text.find("%d"); at != std::string::npos) text.replace(at, 2, std::to_string(n));
  return text;
}

}  // namespace

ZQAppDelegate::ZQAppDelegate() : lastStartedSitting(platform::Date::date()) {}

void ZQAppDelegate::applicationDidFinishLaunching() {
  statusItem = platform::backend().statusItemWithLength(platform::StatusItem::kVariableLength);
  statusItem->setHighlightMode(true);
  statusItem->setAction([this] { statusItemClicked(); });
  statusItem->setDoubleAction([this] { statusItemDoubleClicked(); });

  lastStartedSitting = platform::Date::date();

  idleSM = std::make_unique<IdleStateMachine>();

  // The run loop keeps this timer; it runs until the process ends.
  platform::Timer::scheduledTimerWithTimeInterval(
      1.0, [this] { updateTimer(); }, true);
}

void ZQAppDelegate::updateTimer() {
  idleSM->update();

  if (idleSM->blinking() && !blinkTimer) {
    blinkTimer = platform::Timer::scheduledTimerWithTimeInterval(
        0.3, [this] { updateBlinkTimer(); }, true);
  } else if (!idleSM->blinking() && blinkTimer) {
    blinkTimer->invalidate();
    blinkTimer.reset();
  }

  platform::AttributedString title(kTitlePrefix);
  title.appendAttributedString(durationSitting());

  if (idleSM->blinking() && blink) makeTransparent(title);

  statusItem->setAttributedTitle(title);
}

void ZQAppDelegate::updateBlinkTimer() {
  blink = idleSM->blinking() && !blink;
  updateTimer();
}

void ZQAppDelegate::statusItemClicked() {
  lastStartedSitting = platform::Date::date();
  idleSM->resetBlinking();
  updateTimer();
}

void ZQAppDelegate::statusItemDoubleClicked() {
  idleSM->resetBlinking();
  platform::NSApp().performSelectorAfterDelay(&platform::Application::terminate, 0.0);
}

std::int32_t ZQAppDelegate::secondsSitting() const {
  // Truncate toward zero. A clock set years away would overflow the count; hold it at the
  // limit instead, which still reads as "< 1 minute" or as many hours.
  const double seconds = std::trunc(-lastStartedSitting.timeIntervalSinceNow());
  constexpr double lo = std::numeric_limits<std::int32_t>::min();
  constexpr double hi = std::numeric_limits<std::int32_t>::max();
  if (!(seconds >= lo)) return std::numeric_limits<std::int32_t>::min();
  if (seconds > hi) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(seconds);
}

platform::AttributedString ZQAppDelegate::durationSitting() const {
  const std::int32_t s = secondsSitting();
  std::string text;
  platform::Color color = platform::Color::blackColor();
  if (s <= 59) {
    text = "< 1 minute";
  } else {
    const std::int32_t m = s / 60;
    // Black up to ten minutes, then brighter every minute: the brightness goes past 0..1 on
    // either side and the colour holds it there.
    color = platform::Color::colorWithCalibratedHueSaturationBrightnessAlpha(0.0, 1.0,
                                                                             (m - 10) / 5.0, 1.0);
    std::int32_t n;
    std::string_view format;
    if (s > 3599) {
      n = s / 3600;
      format = pluralize("%d hour", "%d hours", n);
    } else {
      n = m;
      format = pluralize("%d minute", "%d minutes", n);
    }
    text = stringWithFormat(format, n);
  }
  platform::AttributedString label(text);
  makeBold(label);
  makeColor(label, color);
  return label;
}

std::string_view ZQAppDelegate::pluralize(std::string_view singular, std::string_view plural,
                                          std::int32_t count) {
  return count == 1 ? singular : plural;
}

void ZQAppDelegate::makeBold(platform::AttributedString& text) {
  text.addAttributes({.font = platform::Font::boldSystemFontOfSize(0.0)}, {0, text.length()});
}

void ZQAppDelegate::makeColor(platform::AttributedString& text, const platform::Color& color) {
  text.addAttributes({.foregroundColor = color}, {0, text.length()});
}

void ZQAppDelegate::makeTransparent(platform::AttributedString& text) {
  makeColor(text, platform::Color::clearColor());
}
