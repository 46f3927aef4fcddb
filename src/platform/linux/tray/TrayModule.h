// TrayModule.h: the tray front end as a module loaded at run time. It draws with PangoCairo and
// serves its menu with libdbusmenu-glib, which map some megabytes of libraries, fonts and font
// caches; only a program that chooses the tray loads them, so the bars pay nothing for it.
//
// The module has no copy of the platform layer: it is linked with its references to the
// program's own symbols (NSApp() among them) left open, and they bind to the program when it
// is loaded; the program exports those few (TrayModule.exports). One application, one loop,
// one of every global. The program finds the module's one entry by name, a plain C symbol.
#pragma once

#include <memory>
#include <string>

#include "platform/StatusBar.h"
#include "platform/linux/Providers.h"

namespace platform::linux_backend {

inline constexpr const char* kTrayModuleFile = "sitting-timer-tray.so";

struct TrayModuleEntry {
  // Makes the tray bar: a StatusNotifierItem when a watcher is on the session bus, else an
  // XEmbed icon when the display has a tray; tried by auto, one of them must be there.
  std::unique_ptr<StatusBar> (*connect)(LinuxContext& context, std::string& whyNot);
  // Makes the XEmbed tray bar alone.
  std::unique_ptr<StatusBar> (*connectXEmbed)(LinuxContext& context, std::string& whyNot);
};

// What the environment says: whether there is a session bus to try. Loads nothing.
std::string probeTray(const LinuxContext& context);

// The tray provider as the program sees it: a session bus or an X display to look for a tray
// on, then the module loaded (once; its failure is the probe's, "tray module PATH: why"); and
// the module's connect.
std::string probeAnyTrayModule(const LinuxContext& context);
std::unique_ptr<StatusBar> connectTrayModule(LinuxContext& context, std::string& whyNot);
// The xembed provider's: an X display, then the module loaded; and the module's connect.
std::string probeXEmbedModule(const LinuxContext& context);
std::unique_ptr<StatusBar> connectXEmbedModule(LinuxContext& context, std::string& whyNot);

// Why the open file `fd` cannot be the module, or empty: only a regular file whose ELF headers
// and loaded segments lie within it is handed to the loader.
std::string trayModuleFileProblem(int fd);

// Where the module of the program at `executable` is: beside it in a build tree, else in the
// library directory the install gives it, `installedRelative` to the program's directory
// ("../lib/x86_64-linux-gnu/sitting-timer").
std::string trayModulePath(const std::string& executable, const std::string& installedRelative);

}  // namespace platform::linux_backend

extern "C" {
// Defined by the module only.
extern const platform::linux_backend::TrayModuleEntry sitting_timer_tray_module;
}
