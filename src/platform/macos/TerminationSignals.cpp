#include "platform/macos/TerminationSignals.h"

#include <dispatch/dispatch.h>

#include <csignal>
#include <cstdint>
#include <vector>

namespace platform::macos {

struct TerminationSignals::Native {
  std::vector<dispatch_source_t> sources;
};

TerminationSignals::TerminationSignals(std::function<void()> call)
    : native_(std::make_unique<Native>()), call_(std::move(call)) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    // The dispatch source still sees an ignored signal; left at its default, the signal would
    // end the process before the source could.
    std::signal(sig, SIG_IGN);
    dispatch_source_t source = dispatch_source_create(
        DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(sig), 0, dispatch_get_main_queue());
    dispatch_set_context(source, this);
    dispatch_source_set_event_handler_f(source, [](void* self) {
      auto& signals = *static_cast<TerminationSignals*>(self);
      if (signals.call_) signals.call_();
    });
    dispatch_resume(source);
    native_->sources.push_back(source);
  }
}

TerminationSignals::~TerminationSignals() {
  for (dispatch_source_t source : native_->sources) {
    dispatch_source_cancel(source);
    dispatch_release(source);
  }
}

}  // namespace platform::macos
