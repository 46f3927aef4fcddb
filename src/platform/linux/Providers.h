// Providers.h: what Linux offers for each part of the platform, in the order `auto` tries it.
#pragma once

#include <span>

#include "platform/IdleSource.h"
#include "platform/Provider.h"
#include "platform/StatusBar.h"
#include "platform/linux/GLibRunLoop.h"

namespace platform::linux_backend {

struct LinuxContext {
  GLibRunLoop& loop;
  // The user named the provider: accept any setting it can work in, not only the usual one
  // (`--status-bar=i3bar > file` is fine, though auto wants a bar's pipes).
  bool chosenByName = false;
};

using StatusBarProvider = Provider<StatusBar, LinuxContext>;
using IdleSourceProvider = Provider<IdleSource, LinuxContext>;

std::span<const StatusBarProvider> statusBarProviders();
std::span<const IdleSourceProvider> idleSourceProviders();

}  // namespace platform::linux_backend
