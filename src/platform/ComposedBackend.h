// ComposedBackend.h: a backend put together at run time from an event loop, a status bar and an
// idle source, each chosen separately, so that a bar never needs to know where the idle time
// comes from and three bars with five sources need no class per pair.
#pragma once

#include <memory>

#include "platform/Backend.h"
#include "platform/EventLoop.h"
#include "platform/FailureFilter.h"
#include "platform/IdleSource.h"
#include "platform/StatusBar.h"

namespace platform {

class ComposedBackend final : public Backend {
 public:
  // The bar and the source were built on `loop`; they are destroyed before it.
  ComposedBackend(std::unique_ptr<EventLoop> loop, std::unique_ptr<StatusBar> bar,
                  std::unique_ptr<IdleSource> idle);
  ~ComposedBackend() override;

  double wallClockNow() override { return loop_->wallClockNow(); }
  RunLoop& runLoop() override { return loop_->runLoop(); }
  void run() override { loop_->run(); }
  std::unique_ptr<StatusItem> statusItemWithLength(double length) override {
    return bar_->statusItemWithLength(length);
  }
  IdleLookup lookUpIdleTime() override;
  // A lasting failure's lines are written when it begins and again only after a success in
  // between: a missing idle source would otherwise repeat them every second, or three times a
  // second while blinking.
  void writeMessageLine(std::string_view line) override;

 private:
  std::unique_ptr<EventLoop> loop_;
  std::unique_ptr<StatusBar> bar_;
  std::unique_ptr<IdleSource> idle_;
  FailureFilter idleFailures_;
};

}  // namespace platform
