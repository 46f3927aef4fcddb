#include "platform/linux/TrayStatusBar.h"

namespace platform::linux_backend {

std::string probeTray(const LinuxContext&) { return "not built yet"; }

std::unique_ptr<StatusBar> connectTray(LinuxContext&, std::string& whyNot) {
  whyNot = "not built yet";
  return nullptr;
}

}  // namespace platform::linux_backend
