#include "platform/RunLoop.h"

#include <algorithm>

#include "platform/Timer.h"

namespace platform {

RunLoop::RunLoop(Clock monotonicClock) : clock_(std::move(monotonicClock)) {}

void RunLoop::addTimer(std::shared_ptr<Timer> timer) { timers_.push_back(std::move(timer)); }

void RunLoop::removeTimer(const Timer& timer) {
  std::erase_if(timers_, [&](const auto& t) { return t.get() == &timer; });
}

std::optional<double> RunLoop::nextFireDate() const {
  std::optional<double> next;
  for (const auto& t : timers_) {
    if (!next || t->fireDate() < *next) next = t->fireDate();
  }
  return next;
}

void RunLoop::fireDueTimers() {
  const double now = clock_();
  std::vector<std::shared_ptr<Timer>> due;
  for (const auto& t : timers_) {
    if (t->fireDate() <= now) due.push_back(t);
  }
  std::stable_sort(due.begin(), due.end(),
                   [](const auto& a, const auto& b) { return a->fireDate() < b->fireDate(); });
  for (const auto& t : due) {
    // An earlier callback in this pass may have invalidated it.
    if (t->isValid()) t->fire(now);
  }
}

void RunLoop::performLater(std::function<void()> call) { deferred_.push_back(std::move(call)); }

void RunLoop::runDeferredCalls() {
  std::deque<std::function<void()>> calls;
  calls.swap(deferred_);
  for (auto& call : calls) call();
}

void RunLoop::reset() {
  for (const auto& t : timers()) t->invalidate();
  deferred_.clear();
}

}  // namespace platform
