// DBusIdleSource.h: the idle time from a desktop service on the session bus.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/Providers.h"

namespace platform::linux_backend {

std::string probeSessionBus(const LinuxContext& context);
std::unique_ptr<IdleSource> connectGnomeIdleMonitor(LinuxContext& context, std::string& whyNot);
std::unique_ptr<IdleSource> connectFreedesktopScreenSaver(LinuxContext& context,
                                                          std::string& whyNot);

}  // namespace platform::linux_backend
