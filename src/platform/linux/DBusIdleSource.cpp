#include "platform/linux/DBusIdleSource.h"

namespace platform::linux_backend {

std::string probeSessionBus(const LinuxContext&) { return "not built yet"; }

std::unique_ptr<IdleSource> connectGnomeIdleMonitor(LinuxContext&, std::string& whyNot) {
  whyNot = "not built yet";
  return nullptr;
}

std::unique_ptr<IdleSource> connectFreedesktopScreenSaver(LinuxContext&, std::string& whyNot) {
  whyNot = "not built yet";
  return nullptr;
}

}  // namespace platform::linux_backend
