// Application.h: the application object and the platform's application main.
#pragma once

#include <memory>

#include "platform/Backend.h"

namespace platform {

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() = 0;
};

using DelegateFactory = std::unique_ptr<ApplicationDelegate> (*)();

template <class Delegate>
std::unique_ptr<ApplicationDelegate> makeDelegate() {
  return std::make_unique<Delegate>();
}

// Lives from launch to teardown: installs the backend, creates the delegate and tells it
// launching has finished; on destruction releases the delegate and then everything the run loop
// still holds.
class Application {
 public:
  Application(Backend& backend, DelegateFactory makeDelegate);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Runs the main run loop until terminate().
  void run();

  // Ends the main run loop; teardown follows when the application is destroyed.
  void terminate();
  bool isTerminated() const { return terminated_; }

  // Calls `selector` on a later pass of the run loop, never from within this call.
  void performSelectorAfterDelay(void (Application::*selector)(), double delay);

  ApplicationDelegate& delegate() { return *delegate_; }

 private:
  Backend& backend_;
  BackendScope scope_;
  Application* previous_;
  std::unique_ptr<ApplicationDelegate> delegate_;
  bool terminated_ = false;
};

// The running application.
Application& NSApp();

// Picks the backend for this machine, runs the application on it and returns the process's
// exit status.
int NSApplicationMain(int argc, char** argv, DelegateFactory makeDelegate);

}  // namespace platform
