#include "platform/sim/SimBackend.h"

#include <cassert>
#include <limits>

namespace platform::sim {

SimBackend::SimBackend() : runLoop_([this] { return monotonic_; }) {}

SimBackend::~SimBackend() { runLoop_.reset(); }

void SimBackend::run() { runFor(std::numeric_limits<double>::infinity()); }

void SimBackend::runOnePass() {
  runLoop_.runDeferredCalls();
  if (!runLoop_.isStopped()) runLoop_.fireDueTimers();
}

void SimBackend::runFor(double seconds) {
  const double until = monotonic_ + seconds;
  while (!runLoop_.isStopped()) {
    if (runLoop_.hasDeferredCalls()) {
      runOnePass();
      continue;
    }
    const auto next = runLoop_.nextFireDate();
    if (!next || *next > until) {
      if (until != std::numeric_limits<double>::infinity()) monotonic_ = until;
      return;
    }
    if (*next > monotonic_) monotonic_ = *next;
    runOnePass();
  }
}

std::unique_ptr<StatusItem> SimBackend::statusItemWithLength(double) {
  assert(!item_ && "the simulated bar holds one item");
  auto item = std::make_unique<SimStatusItem>(*this);
  item_ = item.get();
  ++itemsCreated_;
  return item;
}

IdleLookup SimBackend::lookUpIdleTime() {
  ++idleLookups_;
  if (idleMode_ == IdleMode::fixed) return fixedLookup_;
  const double idle = monotonic_ - lastInput_;
  return IdleLookup::nanoseconds(static_cast<std::int64_t>(idle * 1e9));
}

void SimBackend::setIdleReading(std::uint64_t reading) {
  setIdleLookup(IdleLookup::nanoseconds(static_cast<std::int64_t>(reading << 30)));
}

void SimBackend::setIdleLookup(IdleLookup lookup) {
  idleMode_ = IdleMode::fixed;
  fixedLookup_ = std::move(lookup);
}

void SimBackend::userLeaves() {
  idleMode_ = IdleMode::sinceInput;
  lastInput_ = monotonic_;
}

void SimBackend::userInput() { userLeaves(); }

SimStatusItem::~SimStatusItem() {
  backend_.item_ = nullptr;
  if (backend_.onItemDestroyed_) backend_.onItemDestroyed_();
}

void SimStatusItem::setAttributedTitle(const AttributedString& title) {
  titles_.push_back({title, backend_.monotonic_});
  ++titlesSet_;
}

}  // namespace platform::sim
