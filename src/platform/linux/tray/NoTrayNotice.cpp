#include "platform/linux/tray/NoTrayNotice.h"

#include <strings.h>

namespace platform::linux_backend {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
// A notification service that takes longer than this (one being started on demand that never
// comes, say) is given up on.
constexpr int kReplyMs = 10000;

bool isGnomeShell(std::string_view desktop) {
  // "GNOME", "ubuntu:GNOME", "GNOME-Classic:GNOME" run GNOME Shell; Budgie and GNOME Flashback
  // name GNOME too, but have panels of their own with a tray applet to add.
  bool gnome = false;
  while (!desktop.empty()) {
    const std::size_t colon = desktop.find(':');
    const std::string part(desktop.substr(0, colon));
    if (strcasecmp(part.c_str(), "GNOME") == 0) gnome = true;
    if (strcasecmp(part.c_str(), "Budgie") == 0 ||
        strcasecmp(part.c_str(), "GNOME-Flashback") == 0) {
      return false;
    }
    desktop = colon == std::string_view::npos ? std::string_view() : desktop.substr(colon + 1);
  }
  return gnome;
}

}  // namespace

NoTrayAdvice noTrayAdvice(std::string_view desktop) {
  NoTrayAdvice advice{.summary = "No tray to show Sitting Timer in", .body = {}};
  if (isGnomeShell(desktop)) {
    advice.body =
        "GNOME shows tray items only with the AppIndicator extension (\"AppIndicator and "
        "KStatusNotifierItem Support\", package gnome-shell-extension-appindicator). Install it, "
        "log out and back in, and turn it on in the Extensions app: Sitting Timer appears as "
        "soon as it is on.";
  } else {
    advice.body =
        "Add a system tray (notification area) to your panel: Sitting Timer appears as soon as "
        "there is one.";
  }
  return advice;
}

std::function<void(bool watcher)> watcherPresence(std::shared_ptr<NoTrayNotice> notice) {
  return [notice = std::move(notice)](bool watcher) {
    if (watcher) {
      notice->trayAppeared();
    } else {
      notice->start(
          "sitting-timer: tray: waiting for a tray (no org.kde.StatusNotifierWatcher on the "
          "session bus)");
    }
  };
}

NoTrayNotice::NoTrayNotice(GDBusConnection* bus, std::string desktop, Messages messages,
                           unsigned graceMs)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))),
      desktop_(std::move(desktop)),
      messages_(std::move(messages)),
      graceMs_(graceMs),
      cancellable_(g_cancellable_new()) {}

NoTrayNotice::~NoTrayNotice() {
  // A reply still on its way must find nobody to call.
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  if (grace_) g_source_remove(grace_);
  g_object_unref(bus_);
}

void NoTrayNotice::start(std::string_view line) {
  trayPresent_ = false;
  if (!saidLine_) {
    saidLine_ = true;
    messages_(line);
  }
  if (sent_ || grace_) return;
  grace_ = g_timeout_add(graceMs_, onGraceOver, this);
}

void NoTrayNotice::trayAppeared() {
  trayPresent_ = true;
  if (grace_) {
    g_source_remove(grace_);
    grace_ = 0;
  }
  withdraw();
}

int NoTrayNotice::onGraceOver(void* data) {
  auto& self = *static_cast<NoTrayNotice*>(data);
  self.grace_ = 0;
  self.sent_ = true;
  self.notify();
  return G_SOURCE_REMOVE;
}

void NoTrayNotice::notify() {
  const NoTrayAdvice advice = noTrayAdvice(desktop_);
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  // The desktop entry lets the notification server show the program's name and icon.
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("sitting-timer"));
  g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
  // Auto-start allowed: most notification servers outside a shell are started on demand.
  g_dbus_connection_call(
      bus_, kService, kPath, kService, "Notify",
      g_variant_new("(susssasa{sv}i)", "Sitting Timer", 0u, "sitting-timer", advice.summary.c_str(),
                    advice.body.c_str(), nullptr, &hints, -1),
      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kReplyMs, cancellable_, onNotified, this);
}

void NoTrayNotice::onNotified(GObject* bus, GAsyncResult* result, void* data) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    g_error_free(error);
    return;  // the notice is gone
  }
  auto& self = *static_cast<NoTrayNotice*>(data);
  if (reply) {
    g_variant_get(reply, "(u)", &self.shownId_);
    g_variant_unref(reply);
    // A tray came while the notification was on its way.
    if (self.trayPresent_) self.withdraw();
    return;
  }
  // No service, an error answer or none in time: the line said at the start stays the word.
  g_error_free(error);
}

void NoTrayNotice::withdraw() {
  if (!shownId_) return;
  // Not waited for: a server that does not close it leaves a stale notification, no more.
  g_dbus_connection_call(bus_, kService, kPath, kService, "CloseNotification",
                         g_variant_new("(u)", shownId_), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                         nullptr, nullptr, nullptr);
  shownId_ = 0;
}

}  // namespace platform::linux_backend
