#include "platform/Application.h"

#include <cassert>

#include "platform/Backend.h"
#include "platform/Timer.h"

namespace platform {

namespace {
Application* running = nullptr;
}  // namespace

Application& NSApp() {
  assert(running && "no application running");
  return *running;
}

Application::Application(Backend& backend, DelegateFactory makeDelegate)
    : backend_(backend), scope_(backend), previous_(running) {
  running = this;
  delegate_ = makeDelegate();
  delegate_->applicationDidFinishLaunching();
}

Application::~Application() {
  delegate_.reset();
  // Timers call into the delegate; none may outlive it.
  backend_.runLoop().reset();
  running = previous_;
}

void Application::run() {
  if (!terminated_) backend_.run();
}

void Application::terminate() {
  terminated_ = true;
  backend_.runLoop().stop();
}

void Application::performSelectorAfterDelay(void (Application::*selector)(), double delay) {
  auto call = [this, selector] { (this->*selector)(); };
  if (delay <= 0.0) {
    backend_.runLoop().performLater(call);
  } else {
    Timer::scheduledTimerWithTimeInterval(delay, call, false);
  }
}

}  // namespace platform
