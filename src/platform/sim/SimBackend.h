// SimBackend.h: a deterministic platform in virtual time. Tests drive it: they move the clocks,
// script the idle time, click the status item and read back every title it was given.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Backend.h"

namespace platform::sim {

class SimStatusItem;

class SimBackend final : public Backend {
 public:
  // Virtual time starts at this wall-clock moment (2026-01-01 00:00:00 UTC).
  static constexpr double kEpoch = 1767225600.0;

  SimBackend();
  ~SimBackend() override;

  // --- Backend
  double wallClockNow() override { return kEpoch + monotonic_ + wallShift_; }
  RunLoop& runLoop() override { return runLoop_; }
  void run() override;  // until stopped; only for loops that are sure to stop
  std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
  IdleLookup lookUpIdleTime() override;
  void writeMessageLine(std::string_view line) override { messages_.emplace_back(line); }

  // --- Time
  double monotonicNow() const { return monotonic_; }
  // Runs passes of the loop while virtual time moves on by `seconds`: each pass first runs the
  // calls deferred before it, then fires the timers that have come due.
  void runFor(double seconds);
  // One pass at the current moment, without moving time.
  void runOnePass();
  // Moves both clocks on without running the loop, as a callback that takes this long.
  void spendTime(double seconds) { monotonic_ += seconds; }
  // Sets the wall clock forward (or back, when negative) without moving the timer schedule.
  void shiftWallClock(double seconds) { wallShift_ += seconds; }

  // --- Idle time
  // Every lookup finds this reading (whole idle seconds of 2^30 ns).
  void setIdleReading(std::uint64_t reading);
  // Every lookup returns exactly this.
  void setIdleLookup(IdleLookup lookup);
  // From now on the idle time grows with virtual time, as when the user walks away.
  void userLeaves();
  // The user touches the keyboard: the idle time restarts from zero and grows again.
  void userInput();
  std::size_t idleLookups() const { return idleLookups_; }

  // --- Output
  // The live status item, or null.
  SimStatusItem* statusItem() const { return item_; }
  std::size_t statusItemsCreated() const { return itemsCreated_; }
  const std::vector<std::string>& messages() const { return messages_; }
  // Called as the status item leaves the bar, to see what else is gone by then.
  void setOnStatusItemDestroyed(std::function<void()> call) { onItemDestroyed_ = std::move(call); }

 private:
  friend class SimStatusItem;
  void noteClick() {
    if (idleMode_ == IdleMode::sinceInput) lastInput_ = monotonic_;
  }

  double monotonic_ = 0;
  double wallShift_ = 0;
  RunLoop runLoop_;

  enum class IdleMode { fixed, sinceInput } idleMode_ = IdleMode::fixed;
  IdleLookup fixedLookup_ = IdleLookup::nanoseconds(0);
  double lastInput_ = 0;
  std::size_t idleLookups_ = 0;

  SimStatusItem* item_ = nullptr;
  std::size_t itemsCreated_ = 0;
  std::function<void()> onItemDestroyed_;
  std::vector<std::string> messages_;
};

class SimStatusItem final : public StatusItem {
 public:
  struct Title {
    AttributedString text;
    double at;  // monotonic seconds
  };

  explicit SimStatusItem(SimBackend& backend) : backend_(backend) {}
  ~SimStatusItem() override;

  void setAttributedTitle(const AttributedString& title) override;
  void setHighlightMode(bool highlight) override { highlightMode_ = highlight; }

  // A click is input: where the idle time follows the user, it restarts from zero.
  void click() const {
    backend_.noteClick();
    sendAction();
  }
  // As the user's double-click arrives: the first click, then the double action.
  void doubleClick() const {
    click();
    sendDoubleAction();
  }

  bool highlightMode() const { return highlightMode_; }
  bool hasTitle() const { return !titles_.empty(); }
  const AttributedString& title() const { return titles_.back().text; }
  // Every title set since the last clearTitles(), oldest first.
  const std::vector<Title>& titles() const { return titles_; }
  std::size_t titlesSet() const { return titlesSet_; }
  void clearTitles() { titles_.clear(); }

 private:
  SimBackend& backend_;
  bool highlightMode_ = false;
  std::vector<Title> titles_;
  std::size_t titlesSet_ = 0;
};

}  // namespace platform::sim
