#include "platform/linux/tray/TrayStatusBar.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/Application.h"

namespace platform::linux_backend {

namespace {

// Start-up waits, before the loop runs.
constexpr double kConnectSeconds = 3.0;
constexpr int kWatcherQueryMs = 2000;

void toStandardError(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  std::fflush(stderr);
}

std::string desktopName() {
  const char* name = g_getenv("XDG_CURRENT_DESKTOP");
  return name ? name : "";
}

}  // namespace

TrayStatusBar::TrayStatusBar(GDBusConnection* bus, TrayOptions options)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))), options_(std::move(options)) {
  if (!options_.messages) options_.messages = toStandardError;
  // The fonts are chosen once for the run; a broken setup is said here, once.
  if (const std::string& problem = trayFontProblem(); !problem.empty()) {
    options_.messages("sitting-timer: tray: " + problem);
  }
  notice_ = std::make_shared<NoTrayNotice>(bus_, options_.desktop, options_.messages,
                                           options_.noTrayGraceMs);
  // GDBus would otherwise end the process at once when the bus goes, skipping the teardown.
  g_dbus_connection_set_exit_on_close(bus_, FALSE);
  closedHandler_ = g_signal_connect(bus_, "closed", G_CALLBACK(onClosed), this);
  if (g_dbus_connection_is_closed(bus_)) {
    // Closed before we listened: "closed" may have gone already. Say it from the loop.
    lateClosed_ = g_idle_add(
        [](void* self) -> int {
          static_cast<TrayStatusBar*>(self)->lateClosed_ = 0;
          onClosed(nullptr, TRUE, nullptr, self);
          return G_SOURCE_REMOVE;
        },
        this);
  }
}

TrayStatusBar::~TrayStatusBar() {
  if (lateClosed_) g_source_remove(lateClosed_);
  g_signal_handler_disconnect(bus_, closedHandler_);
  g_object_unref(bus_);
}

std::unique_ptr<StatusItem> TrayStatusBar::statusItemWithLength(double) {
  return std::make_unique<TrayStatusItem>(
      bus_, ++items_, options_.clock, options_.messages, [notice = notice_](bool watcher) {
        if (watcher) {
          notice->trayAppeared();
        } else {
          notice->start(
              "sitting-timer: tray: waiting for a tray (no org.kde.StatusNotifierWatcher on the "
              "session bus)");
        }
      });
}

void TrayStatusBar::writeMessageLine(std::string_view line) { options_.messages(line); }

void TrayStatusBar::onClosed(GDBusConnection*, gboolean, GError* error, void* data) {
  auto& self = *static_cast<TrayStatusBar*>(data);
  if (self.saidClosed_) return;
  self.saidClosed_ = true;
  self.options_.messages(std::string("sitting-timer: tray: the session bus closed") +
                         (error ? std::string(" (") + error->message + ")" : std::string()) +
                         "; quitting");
  if (self.options_.onBusLost) self.options_.onBusLost();
}

GDBusConnection* connectSessionBus(double timeoutSeconds, std::string& whyNot) {
  // g_bus_get_sync waits as long as the daemon takes, and the async form would need the main
  // loop turning: a helper thread connects while this one waits a bounded time. A connection
  // made there still delivers its signals to the default main context.
  struct Attempt {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    GDBusConnection* bus = nullptr;
    std::string error;
  };
  auto attempt = std::make_shared<Attempt>();
  GCancellable* cancellable = g_cancellable_new();
  std::thread worker([attempt, cancellable] {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &error);
    std::lock_guard lock(attempt->mutex);
    attempt->bus = bus;
    if (error) {
      attempt->error = error->message;
      g_error_free(error);
    }
    attempt->finished = true;
    attempt->done.notify_one();
  });
  std::unique_lock lock(attempt->mutex);
  const bool finished = attempt->done.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                               [&] { return attempt->finished; });
  lock.unlock();
  if (finished) {
    worker.join();
  } else {
    // A stalled daemon: give up on it; the thread ends when the cancellation reaches it.
    g_cancellable_cancel(cancellable);
    worker.detach();
  }
  g_object_unref(cancellable);
  lock.lock();
  if (!finished) {
    whyNot = "the session bus did not answer within " +
             std::to_string(static_cast<int>(timeoutSeconds)) + " s";
    return nullptr;
  }
  if (!attempt->bus) whyNot = "cannot connect to the session bus: " + attempt->error;
  if (attempt->bus) g_dbus_connection_set_exit_on_close(attempt->bus, FALSE);
  return attempt->bus;
}

bool hasWatcher(GDBusConnection* bus, int timeoutMs, std::string& whyNot) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", TrayStatusItem::kWatcherName), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
  if (!reply) {
    whyNot = std::string("cannot ask the session bus for a tray: ") + error->message;
    g_error_free(error);
    return false;
  }
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  if (!owned) whyNot = "no tray (no org.kde.StatusNotifierWatcher on the session bus)";
  return owned;
}

std::unique_ptr<StatusBar> connectTray(LinuxContext& context, std::string& whyNot) {
  GDBusConnection* bus = connectSessionBus(kConnectSeconds, whyNot);
  if (!bus) return nullptr;
  // Chosen by name, the item waits for a tray (the panel often starts after the programs of
  // the session); tried by auto, it gives way when there is none.
  if (!context.chosenByName && !hasWatcher(bus, kWatcherQueryMs, whyNot)) {
    g_object_unref(bus);
    return nullptr;
  }
  auto bar =
      std::make_unique<TrayStatusBar>(bus, TrayOptions{.clock = &GLibRunLoop::monotonicNow,
                                                       .messages = toStandardError,
                                                       .onBusLost = [] { NSApp().terminate(); },
                                                       .desktop = desktopName()});
  g_object_unref(bus);
  return bar;
}

}  // namespace platform::linux_backend
