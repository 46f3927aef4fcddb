#include "platform/linux/Providers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/linux/bars/StdioStatusBar.h"
#include "platform/linux/bars/TerminalStatusBar.h"
#include "platform/linux/idle/DBusIdleSource.h"
#include "platform/linux/idle/WaylandIdleSource.h"
#include "platform/linux/idle/X11IdleSource.h"
#include "platform/linux/tray/TrayModule.h"

namespace platform::linux_backend {

namespace {

bool isPipe(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

bool isSet(const char* variable) {
  const char* value = std::getenv(variable);
  return value && *value;
}

std::string probeTerminal(const LinuxContext&) {
  return isatty(STDOUT_FILENO) ? "" : "standard output is not a terminal";
}

std::string probeI3bar(const LinuxContext& context) {
  if (context.chosenByName) {
    return fcntl(STDOUT_FILENO, F_GETFL) >= 0 ? "" : "standard output is closed";
  }
  // A bar's status command has a pipe on both sides.
  return isPipe(STDIN_FILENO) && isPipe(STDOUT_FILENO)
             ? ""
             : "standard input and output are not both pipes";
}

template <class Bar>
std::unique_ptr<StatusBar> connectStdioBar(LinuxContext&, std::string&) {
  return std::make_unique<Bar>();
}

const StatusBarProvider kStatusBars[] = {
    {"terminal", "one line in the terminal on standard output", probeTerminal,
     connectStdioBar<TerminalStatusBar>},
    {"i3bar", "the i3bar protocol on standard output (i3bar, swaybar)", probeI3bar,
     connectStdioBar<I3barStatusBar>},
    {"tray", "the desktop's tray: StatusNotifierItem, else XEmbed", probeAnyTrayModule,
     connectTrayModule},
    // The XEmbed half of tray, for a user who wants it alone.
    {"xembed", "an XEmbed tray only (tint2, i3bar, stalonetray); never auto", probeXEmbedModule,
     connectXEmbedModule, /*byNameOnly=*/true},
};

std::string probeX11(const LinuxContext&) { return isSet("DISPLAY") ? "" : "DISPLAY is not set"; }

std::unique_ptr<IdleSource> connectX11(LinuxContext& context, std::string& whyNot) {
  return X11IdleSource::connect([&loop = context.loop] { return loop.runLoop().now(); }, whyNot);
}

const IdleSourceProvider kIdleSources[] = {
    {"ext-idle-notify", "Wayland ext_idle_notifier_v1 (KWin, sway 1.8 and later)", probeWayland,
     connectExtIdleNotify},
    {"kde-idle", "Wayland org_kde_kwin_idle (sway 1.7, older KWin)", probeWayland, connectKdeIdle},
    {"gnome", "GNOME's org.gnome.Mutter.IdleMonitor on the session bus", probeSessionBus,
     connectGnomeIdleMonitor},
    {"freedesktop-screensaver", "org.freedesktop.ScreenSaver on the session bus (KDE on X11)",
     probeSessionBus, connectFreedesktopScreenSaver},
    {"x11", "the X server's MIT-SCREEN-SAVER extension", probeX11, connectX11},
};

}  // namespace

std::span<const StatusBarProvider> statusBarProviders() { return kStatusBars; }
std::span<const IdleSourceProvider> idleSourceProviders() { return kIdleSources; }

}  // namespace platform::linux_backend
