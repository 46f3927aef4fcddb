// WaylandIdleSource.h: the idle time from a Wayland compositor's idle notifications.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/Providers.h"

namespace platform::linux_backend {

std::string probeWayland(const LinuxContext& context);
std::unique_ptr<IdleSource> connectExtIdleNotify(LinuxContext& context, std::string& whyNot);
std::unique_ptr<IdleSource> connectKdeIdle(LinuxContext& context, std::string& whyNot);

}  // namespace platform::linux_backend
