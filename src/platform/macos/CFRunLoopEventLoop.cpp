#include "platform/macos/CFRunLoopEventLoop.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#include <chrono>
#include <csignal>
#include <vector>

#include "platform/macos/TimerArming.h"

namespace platform::macos {

namespace {

// Far enough never to come: the timer fires only at the dates it is moved to.
constexpr CFTimeInterval kNever = 1.0e9;

}  // namespace

struct CFRunLoopEventLoop::Native {
  CFRunLoopRef loop = nullptr;
  CFRunLoopTimerRef timer = nullptr;
  CFRunLoopObserverRef observer = nullptr;
  std::vector<dispatch_source_t> signals;
};

CFRunLoopEventLoop::CFRunLoopEventLoop(std::function<void()> onStop)
    : runLoop_(&CFRunLoopEventLoop::monotonicNow),
      native_(std::make_unique<Native>()),
      onStop_(std::move(onStop)) {
  native_->loop = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetMain())));

  // A repeating timer whose interval never comes: one that does not repeat is invalidated by
  // its first fire and could not be moved again.
  CFRunLoopTimerContext timerContext{0, this, nullptr, nullptr, nullptr};
  native_->timer = CFRunLoopTimerCreate(
      kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + kNever, kNever, 0, 0,
      [](CFRunLoopTimerRef, void* self) { static_cast<CFRunLoopEventLoop*>(self)->pass(); },
      &timerContext);

  CFRunLoopObserverContext observerContext{0, this, nullptr, nullptr, nullptr};
  native_->observer = CFRunLoopObserverCreate(
      kCFAllocatorDefault, kCFRunLoopBeforeWaiting, true, 0,
      [](CFRunLoopObserverRef, CFRunLoopActivity, void* self) {
        static_cast<CFRunLoopEventLoop*>(self)->arm();
      },
      &observerContext);

  // The common modes include the one AppKit runs while the item's menu is open, so the title
  // keeps counting meanwhile.
  CFRunLoopAddTimer(native_->loop, native_->timer, kCFRunLoopCommonModes);
  CFRunLoopAddObserver(native_->loop, native_->observer, kCFRunLoopCommonModes);
}

CFRunLoopEventLoop::~CFRunLoopEventLoop() {
  for (dispatch_source_t source : native_->signals) {
    dispatch_source_cancel(source);
    dispatch_release(source);
  }
  runLoop_.reset();
  CFRunLoopObserverInvalidate(native_->observer);
  CFRelease(native_->observer);
  CFRunLoopTimerInvalidate(native_->timer);
  CFRelease(native_->timer);
  CFRelease(native_->loop);
}

double CFRunLoopEventLoop::monotonicNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CFRunLoopEventLoop::wallClockNow() {
  return CFAbsoluteTimeGetCurrent() + kCFAbsoluteTimeIntervalSince1970;
}

void CFRunLoopEventLoop::run() {
  while (!stopHandled_) CFRunLoopRun();
}

void CFRunLoopEventLoop::onTerminationSignals(std::function<void()> call) {
  onSignal_ = std::move(call);
  if (!native_->signals.empty()) return;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    // The dispatch source still sees an ignored signal; left at its default, the signal would
    // end the process before the source could.
    std::signal(sig, SIG_IGN);
    dispatch_source_t source = dispatch_source_create(
        DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(sig), 0, dispatch_get_main_queue());
    dispatch_set_context(source, this);
    dispatch_source_set_event_handler_f(source, [](void* self) {
      auto& loop = *static_cast<CFRunLoopEventLoop*>(self);
      if (loop.onSignal_) loop.onSignal_();
    });
    dispatch_resume(source);
    native_->signals.push_back(source);
  }
}

void CFRunLoopEventLoop::pass() {
  // The timer has fired; until arm() moves it, its next date is kNever away.
  armedFor_.reset();
  runLoop_.runDeferredCalls();
  if (!runLoop_.isStopped()) runLoop_.fireDueTimers();
  if (runLoop_.isStopped() && !stopHandled_) {
    stopHandled_ = true;
    CFRunLoopTimerSetNextFireDate(native_->timer, CFAbsoluteTimeGetCurrent() + kNever);
    if (onStop_) {
      onStop_();
    } else {
      CFRunLoopStop(native_->loop);
    }
  }
}

void CFRunLoopEventLoop::arm() {
  if (stopHandled_) return;
  const std::optional<TimerArming> next = nextArming(runLoop_);
  if (!next) {
    if (armedFor_)
      CFRunLoopTimerSetNextFireDate(native_->timer, CFAbsoluteTimeGetCurrent() + kNever);
    armedFor_.reset();
    return;
  }
  // Moving the timer costs a system call; most waits find it already where it must be.
  if (armedFor_ && *armedFor_ == next->fireDate) return;
  CFRunLoopTimerSetTolerance(native_->timer, next->tolerance);
  // CoreFoundation dates are on the wall clock; the delay from now carries the monotonic date
  // over, and the timer itself then counts on the system's uptime.
  CFRunLoopTimerSetNextFireDate(native_->timer,
                                CFAbsoluteTimeGetCurrent() + (next->fireDate - monotonicNow()));
  armedFor_ = next->fireDate;
}

}  // namespace platform::macos
