// TrayStatusBar.h: the item in a desktop's tray, as a StatusNotifierItem on the session bus.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/Providers.h"

namespace platform::linux_backend {

std::string probeTray(const LinuxContext& context);
std::unique_ptr<StatusBar> connectTray(LinuxContext& context, std::string& whyNot);

}  // namespace platform::linux_backend
