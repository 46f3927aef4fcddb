// CFRunLoopEventLoop.h: the main run loop on the main thread's CFRunLoop, the one AppKit runs.
// One CFRunLoopTimer carries the shared RunLoop, and an observer moves it to the earliest fire
// date each time the loop is about to sleep, so that whatever a timer, a click or a menu changed
// is in force before the next wait. Each fire of the timer is one pass.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/EventLoop.h"
#include "platform/RunLoop.h"

namespace platform::macos {

class CFRunLoopEventLoop final : public EventLoop {
 public:
  // `onStop` runs once, from the pass that finds the RunLoop stopped: under AppKit, which runs
  // the CFRunLoop itself, it asks the application to terminate. Without it, run() returns.
  explicit CFRunLoopEventLoop(std::function<void()> onStop = {});
  ~CFRunLoopEventLoop() override;
  CFRunLoopEventLoop(const CFRunLoopEventLoop&) = delete;
  CFRunLoopEventLoop& operator=(const CFRunLoopEventLoop&) = delete;

  double wallClockNow() override;
  RunLoop& runLoop() override { return runLoop_; }
  // Runs the main thread's CFRunLoop until the RunLoop is stopped.
  void run() override;

  static double monotonicNow();

 private:
  struct Native;  // the CoreFoundation and dispatch objects, kept out of Objective-C++ sight

  void pass();
  void arm();

  RunLoop runLoop_;
  std::unique_ptr<Native> native_;
  std::function<void()> onStop_;
  std::optional<double> armedFor_;  // the fire date the timer is set to, on the monotonic clock
  bool stopHandled_ = false;
};

}  // namespace platform::macos
