// TerminationSignals.h: SIGINT, SIGTERM and SIGHUP as a call on the main queue, so that the
// program ends through its ordinary teardown rather than from inside a signal handler.
#pragma once

#include <functional>
#include <memory>

namespace platform::macos {

class TerminationSignals {
 public:
  // From here on each of the three signals calls `call` on the main queue, which the main run
  // loop serves; one that comes before the loop runs waits there. Make it before AppKit starts
  // launching: a signal that finds no handler takes its default action and ends the process at
  // once, with status 128 + its number.
  explicit TerminationSignals(std::function<void()> call);
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

 private:
  struct Native;  // the dispatch sources, kept out of Objective-C++ sight
  std::unique_ptr<Native> native_;
  std::function<void()> call_;
};

}  // namespace platform::macos
