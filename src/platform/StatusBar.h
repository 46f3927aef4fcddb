// StatusBar.h: the part of a platform that shows status items: a bar, a tray or a terminal.
#pragma once

#include <memory>
#include <string_view>

#include "platform/StatusItem.h"

namespace platform {

class StatusBar {
 public:
  virtual ~StatusBar() = default;

  // A new item; it leaves the bar when destroyed.
  virtual std::unique_ptr<StatusItem> statusItemWithLength(double length) = 0;

  // One message line for the user, without its newline, written where it does not break the
  // bar (standard output may be the bar itself).
  virtual void writeMessageLine(std::string_view line) = 0;
};

}  // namespace platform
