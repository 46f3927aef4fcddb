// StatusItem.h: an item in the system status bar, as a backend draws it.
#pragma once

#include <functional>

#include "platform/AttributedString.h"

namespace platform {

class StatusItem {
 public:
  using Action = std::function<void()>;

  // The length to ask for an item as wide as its title.
  static constexpr double kVariableLength = -1.0;

  virtual ~StatusItem() = default;

  // The item shows exactly `title` until the next call.
  virtual void setAttributedTitle(const AttributedString& title) = 0;
  // Whether the item highlights while pressed, where the bar can show it.
  virtual void setHighlightMode(bool highlight) = 0;

  // A click calls the action; the second click of a double-click calls the double action,
  // after the first has called the action.
  void setAction(Action action) { action_ = std::move(action); }
  void setDoubleAction(Action action) { doubleAction_ = std::move(action); }

 protected:
  // For backends: deliver the user's clicks.
  void sendAction() const {
    if (action_) action_();
  }
  void sendDoubleAction() const {
    if (doubleAction_) doubleAction_();
  }

 private:
  Action action_;
  Action doubleAction_;
};

}  // namespace platform
