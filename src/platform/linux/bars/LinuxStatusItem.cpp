#include "platform/linux/bars/LinuxStatusItem.h"

#include <algorithm>
#include <cmath>

namespace platform::linux_backend {

int colorByte(double component) {
  return static_cast<int>(std::lround(std::clamp(component, 0.0, 1.0) * 255.0));
}

bool drawnTransparent(const AttributedString& title) {
  return !title.runs().empty() &&
         std::all_of(title.runs().begin(), title.runs().end(), [](const auto& run) {
           return run.attributes.foregroundColor && run.attributes.foregroundColor->isClear();
         });
}

}  // namespace platform::linux_backend
