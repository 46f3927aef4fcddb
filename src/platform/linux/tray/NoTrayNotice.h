// NoTrayNotice.h: the word a user gets when there is no tray to show the item in (GNOME without
// the AppIndicator extension, a panel without a system tray). At once, the caller's line goes
// to its message sink (standard error: a session log, or the terminal it was started from).
// After a grace in which a panel still starting can come up, one desktop notification through
// org.freedesktop.Notifications says it where the user looks, with what to do; where none can
// be shown (no service on the bus, an error, no answer), the line stays the only word. Each at
// most once per run: a panel that comes and goes is not news each time.
//
// Use: start() whenever the item finds itself without a tray of any kind, trayAppeared()
// whenever one (of any kind) is there. The notice is the caller's to combine: it knows nothing
// of watchers or tray managers. Every D-Bus call is asynchronous; nothing here waits.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform::linux_backend {

class NoTrayNotice {
 public:
  using Messages = std::function<void(std::string_view)>;  // one line for the user

  static constexpr unsigned kGraceMs = 5000;

  // `bus`: the session bus connection (a reference is taken). `desktop`: XDG_CURRENT_DESKTOP,
  // which chooses the advice. `messages`: where the line goes. `graceMs`: how long a tray has
  // to appear before the notification.
  NoTrayNotice(GDBusConnection* bus, std::string desktop, Messages messages,
               unsigned graceMs = kGraceMs);
  ~NoTrayNotice();
  NoTrayNotice(const NoTrayNotice&) = delete;
  NoTrayNotice& operator=(const NoTrayNotice&) = delete;

  // There is no tray now. Writes `line` (the first time this run), and unless trayAppeared()
  // comes within the grace, sends the notification. Starts no grace while one is running, nor
  // once the notification has been sent this run.
  void start(std::string_view line);
  // A tray is there: the running grace, if any, ends without a notification. One already on
  // the screen is withdrawn, since its advice is now stale. It is not sent again.
  void trayAppeared();

  bool waiting() const { return grace_ != 0; }
  bool sent() const { return sent_; }

 private:
  static int onGraceOver(void* self);
  static void onNotified(GObject* bus, GAsyncResult* result, void* self);
  void notify();
  void withdraw();

  GDBusConnection* bus_;
  std::string desktop_;
  Messages messages_;
  unsigned graceMs_;
  unsigned grace_ = 0;
  GCancellable* cancellable_;
  bool saidLine_ = false;
  bool sent_ = false;
  bool trayPresent_ = false;
  guint32 shownId_ = 0;  // the notification on the screen, 0 if none
};

// What a StatusNotifierItem tells of the watchers that come and go, turned into the notice's
// start() and trayAppeared(): one rule for every item that may stand alone on the bus.
std::function<void(bool watcher)> watcherPresence(std::shared_ptr<NoTrayNotice> notice);

// What the notification says: its summary and its advice for the desktop named by `desktop`
// (XDG_CURRENT_DESKTOP, a colon-separated list).
struct NoTrayAdvice {
  std::string summary;
  std::string body;
};
NoTrayAdvice noTrayAdvice(std::string_view desktop);

}  // namespace platform::linux_backend
