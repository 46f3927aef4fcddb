#include "platform/ComposedBackend.h"

namespace platform {

ComposedBackend::ComposedBackend(std::unique_ptr<EventLoop> loop, std::unique_ptr<StatusBar> bar,
                                 std::unique_ptr<IdleSource> idle)
    : loop_(std::move(loop)), bar_(std::move(bar)), idle_(std::move(idle)) {}

ComposedBackend::~ComposedBackend() {
  // Whatever the loop still holds may call into the bar or the source.
  loop_->runLoop().reset();
  idle_.reset();
  bar_.reset();
}

IdleLookup ComposedBackend::lookUpIdleTime() {
  IdleLookup lookup = idle_->lookUpIdleTime();
  idleFailures_.attempted(lookup.outcome != IdleLookup::Outcome::found);
  return lookup;
}

void ComposedBackend::writeMessageLine(std::string_view line) {
  if (!idleFailures_.mute()) bar_->writeMessageLine(line);
}

}  // namespace platform
