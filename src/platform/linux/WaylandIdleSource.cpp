#include "platform/linux/WaylandIdleSource.h"

#include <cstdlib>

namespace platform::linux_backend {

std::string probeWayland(const LinuxContext&) {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return display && *display ? "" : "WAYLAND_DISPLAY is not set";
}

std::unique_ptr<IdleSource> connectExtIdleNotify(LinuxContext&, std::string& whyNot) {
  whyNot = "not built yet";
  return nullptr;
}

std::unique_ptr<IdleSource> connectKdeIdle(LinuxContext&, std::string& whyNot) {
  whyNot = "not built yet";
  return nullptr;
}

}  // namespace platform::linux_backend
