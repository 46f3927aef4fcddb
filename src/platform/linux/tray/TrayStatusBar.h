// TrayStatusBar.h: the item in a desktop's tray, as a StatusNotifierItem on the session bus
// (KDE Plasma, XFCE, LXQt, Cinnamon, MATE, waybar, GNOME with the AppIndicator extension).
#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/linux/Providers.h"
#include "platform/linux/tray/CallBudget.h"
#include "platform/linux/tray/NoTrayNotice.h"
#include "platform/linux/tray/TrayModule.h"
#include "platform/linux/tray/TrayStatusItem.h"

namespace platform::linux_backend {

// The tray provider's connect; probeTray (TrayModule.h) is its probe.
std::unique_ptr<StatusBar> connectTray(LinuxContext& context, std::string& whyNot);

struct TrayOptions {
  TrayStatusItem::Clock clock;        // monotonic seconds, for telling double-clicks
  TrayStatusItem::Messages messages;  // one line for the user, without its newline
  std::function<void()> onBusLost;    // the session bus closed: end the program
  std::string desktop;                // XDG_CURRENT_DESKTOP, for the advice when there is no tray
  unsigned noTrayGraceMs = NoTrayNotice::kGraceMs;
};

class TrayStatusBar final : public StatusBar {
 public:
  // Takes a reference on `bus`, which must be the process's shared session bus connection (the
  // menu is exported there). A closed bus is reported once and calls onBusLost. Without a
  // watcher for the grace, the user is told once (NoTrayNotice.h).
  TrayStatusBar(GDBusConnection* bus, TrayOptions options);
  ~TrayStatusBar() override;
  TrayStatusBar(const TrayStatusBar&) = delete;
  TrayStatusBar& operator=(const TrayStatusBar&) = delete;

  std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
  // Standard error: a tray has no place for text of its own.
  void writeMessageLine(std::string_view line) override;

 private:
  static void onClosed(GDBusConnection*, gboolean remotePeerVanished, GError* error, void* self);

  GDBusConnection* bus_;
  TrayOptions options_;
  CallLimit callLimit_;  // no caller may make the program hold its answers without bound
  // Shared with the items, which may outlive the bar.
  std::shared_ptr<NoTrayNotice> notice_;
  unsigned long closedHandler_ = 0;
  unsigned lateClosed_ = 0;
  bool saidClosed_ = false;
  int items_ = 0;
};

// The process's shared session bus connection, made within `timeoutSeconds` without running
// the main loop (a start-up probe must not dispatch anything yet); null with `whyNot` set.
// Losing it does not end the process: the caller decides.
GDBusConnection* connectSessionBus(double timeoutSeconds, std::string& whyNot);

// Whether a StatusNotifierWatcher owns its name, asked within `timeoutMs`.
bool hasWatcher(GDBusConnection* bus, int timeoutMs, std::string& whyNot);

}  // namespace platform::linux_backend
