// TrayStatusItem.h: the item as a StatusNotifierItem (org.kde.StatusNotifierItem) on the session
// bus, registered with the desktop's org.kde.StatusNotifierWatcher.
//
// What hosts can show of it:
//   - an icon: the duration's short form on a badge (TrayIcon.h), at 16 to 48 pixels;
//   - a label beside it, the whole title (XAyatanaLabel): GNOME's AppIndicator extension and
//     the Ayatana indicators; xfce's and lxqt's trays show none;
//   - a tooltip, the whole title;
//   - a menu, "Restart" and "Quit" (TrayMenu.h).
// Blinking keeps the place: a hidden frame is a fully transparent icon of the same sizes and a
// blank label about as wide as the title. Colour reaches the icon only; labels are plain text.
// Clicks: Activate is a press, and two within 400 ms a double-click (hosts detect none);
// SecondaryActivate (the middle button) is always a click. No pressed state is drawn: the
// host draws its own.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ClickSequence.h"
#include "platform/StatusItem.h"
#include "platform/linux/tray/TrayIcon.h"
#include "platform/linux/tray/TrayMenu.h"

namespace platform::linux_backend {

class TrayStatusItem final : public StatusItem {
 public:
  using Clock = std::function<double()>;                   // monotonic seconds
  using Messages = std::function<void(std::string_view)>;  // one line for the user
  // Told whether a watcher is on the bus: at start, and each time one comes or goes.
  using Presence = std::function<void(bool watcher)>;

  static constexpr const char* kObjectPath = "/StatusNotifierItem";
  static constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
  static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
  // A failed registration is tried again after this long, while the watcher stays.
  static constexpr unsigned kRetrySeconds = 10;
  static constexpr int kNameTries = 3;
  // How long a watcher's departure waits before it is told, in case the whole bus is going.
  static constexpr unsigned kVanishSettleMs = 250;

  // Exports the item on `bus` as org.kde.StatusNotifierItem-<pid>-<serial> and registers it
  // with every watcher that appears, from the first title on. `presence` hears of every watcher
  // that comes and goes (not of the bus closing), and may be empty.
  TrayStatusItem(GDBusConnection* bus, int serial, Clock clock, Messages messages,
                 Presence presence = {});
  ~TrayStatusItem() override;
  TrayStatusItem(const TrayStatusItem&) = delete;
  TrayStatusItem& operator=(const TrayStatusItem&) = delete;

  void setAttributedTitle(const AttributedString& title) override;
  void setHighlightMode(bool) override {}

  // The well-known name it owns, or its unique name when none could be had.
  const std::string& busName() const { return busName_; }

 private:
  static void onMethodCall(GDBusConnection*, const char* sender, const char* path,
                           const char* interface, const char* method, GVariant* parameters,
                           GDBusMethodInvocation* invocation, void* self);
  static GVariant* onGetProperty(GDBusConnection*, const char* sender, const char* path,
                                 const char* interface, const char* property, GError** error,
                                 void* self);
  static void onNameRequested(GObject* bus, GAsyncResult* result, void* self);
  void requestName();
  static void onWatcherAppeared(GDBusConnection*, const char* name, const char* owner, void* self);
  static void onWatcherVanished(GDBusConnection*, const char* name, void* self);
  static void onRegistered(GObject* bus, GAsyncResult* result, void* self);
  static int onRetry(void* self);
  static int onVanishSettled(void* self);

  void press();
  void registerWithWatcher();
  void emit(const char* signal, GVariant* parameters);
  GVariant* iconProperty() const;

  GDBusConnection* bus_;
  std::string busName_;
  Clock clock_;
  Messages messages_;
  Presence presence_;
  ClickSequence clicks_;
  std::unique_ptr<TrayMenu> menu_;

  unsigned objectId_ = 0;
  unsigned watchId_ = 0;
  unsigned retrySource_ = 0;
  unsigned vanishSource_ = 0;  // a watcher's departure, told once the bus is seen to stay
  GCancellable* cancellable_;
  int serial_;
  int nameTries_ = 0;
  bool nameOwned_ = false;
  bool nameSettled_ = false;  // owned, or given up for the unique name
  bool watcherPresent_ = false;
  bool saidRegisterFailure_ = false;

  // What the properties read, and what each was last signalled as.
  bool hasTitle_ = false;
  TrayIconFace face_;
  GVariant* visibleIcon_ = nullptr;  // face_ drawn, while not transparent
  GVariant* hiddenIcon_ = nullptr;   // the transparent frame, made once
  std::string toolTip_;
  std::string label_;
  std::string guide_;
  std::string blankFor_;  // the title blank_ was made for
  std::string blank_;
};

}  // namespace platform::linux_backend
