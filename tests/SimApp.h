// SimApp.h: the program launched on the simulated platform, with helpers to read its title.
#pragma once

#include <optional>
#include <string>

#include "app/ZQAppDelegate.h"
#include "platform/sim/SimBackend.h"

namespace testing_support {

inline constexpr std::string_view kPrefix = "Time Sitting: ";

struct SimApp {
  platform::sim::SimBackend sim;
  std::optional<platform::Application> app;

  SimApp() { app.emplace(sim, platform::makeDelegate<ZQAppDelegate>); }

  ZQAppDelegate& delegate() { return static_cast<ZQAppDelegate&>(app->delegate()); }
  platform::sim::SimStatusItem& item() { return *sim.statusItem(); }
  const platform::AttributedString& title() { return item().title(); }
  std::string text() { return title().string(); }
  std::size_t timers() { return sim.runLoop().timerCount(); }
  bool blinkTimerRunning() {
    for (const auto& t : sim.runLoop().timers())
      if (t->timeInterval() == 0.3) return true;
    return false;
  }
};

// Whether every run of `title` is drawn in a colour that can be seen.
inline bool visible(const platform::AttributedString& title) {
  for (const auto& run : title.runs())
    if (run.attributes.foregroundColor && run.attributes.foregroundColor->isClear()) return false;
  return true;
}

inline bool invisible(const platform::AttributedString& title) {
  if (title.runs().empty()) return false;
  for (const auto& run : title.runs())
    if (!run.attributes.foregroundColor || !run.attributes.foregroundColor->isClear()) return false;
  return true;
}

}  // namespace testing_support
