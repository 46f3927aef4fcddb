#include "platform/macos/CFRunLoopEventLoop.h"

#include <CoreFoundation/CoreFoundation.h>
#include <os/log.h>

#include <chrono>

#include "platform/macos/TimerArming.h"

namespace platform::macos {

namespace {

// Far enough never to come: the timer fires only at the dates it is moved to.
constexpr CFTimeInterval kNever = 1.0e9;

// One debug line per pass, which the unified log drops unless someone streams it (`log stream
// --level debug`): it lets a reader outside the process see whether the timers keep time, as
// when App Nap would stretch them, at the cost of one check of a flag per pass.
os_log_t passLog() {
  static const os_log_t passes = os_log_create("org.sitting-timer.SittingTimer", "run-loop");
  return passes;
}

}  // namespace

struct CFRunLoopEventLoop::Native {
  CFRunLoopRef loop = nullptr;
  CFRunLoopTimerRef timer = nullptr;
  CFRunLoopObserverRef observer = nullptr;
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

void CFRunLoopEventLoop::pass() {
  // The timer has fired; until arm() moves it, its next date is kNever away.
  armedFor_.reset();
  os_log_debug(passLog(), "pass");
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
