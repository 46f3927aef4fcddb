#include "platform/linux/tray/TrayStatusBar.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Application.h"
#include "platform/linux/StandardError.h"

namespace platform::linux_backend {

namespace {

// Start-up waits, before the loop runs.
constexpr double kConnectSeconds = 3.0;
constexpr int kWatcherQueryMs = 2000;

void toStandardError(std::string_view line) { writeStandardError(std::string(line) + "\n"); }

std::string desktopName() {
  const char* name = g_getenv("XDG_CURRENT_DESKTOP");
  return name ? name : "";
}

}  // namespace

TrayStatusBar::TrayStatusBar(GDBusConnection* bus, TrayOptions options)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))), options_(std::move(options)), callLimit_(bus_) {
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
  return std::make_unique<TrayStatusItem>(bus_, ++items_, options_.clock, options_.messages,
                                          watcherPresence(notice_));
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
  // The worker holds a reference of its own: one given up on outlives this function.
  std::thread worker([attempt, cancellable = G_CANCELLABLE(g_object_ref(cancellable))] {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &error);
    g_object_unref(cancellable);
    std::lock_guard lock(attempt->mutex);
    attempt->bus = bus;
    if (error) {
      attempt->error = error->message;
      g_error_free(error);
    }
    attempt->finished = true;
    attempt->done.notify_one();
  });
  // In slices, so that a signal that ends the program is not kept waiting for the daemon.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeoutSeconds));
  const auto slice = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(GLibRunLoop::kStartupSliceSeconds));
  std::unique_lock lock(attempt->mutex);
  while (!attempt->finished && std::chrono::steady_clock::now() < deadline &&
         !GLibRunLoop::terminationPending()) {
    attempt->done.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + slice),
                             [&] { return attempt->finished; });
  }
  const bool finished = attempt->finished;
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
  // Asked asynchronously on a main context of this call's own, which runs in slices until the
  // answer, the time-out or a signal that ends the program: a synchronous call could not be
  // interrupted.
  struct Answer {
    bool done = false;
    GVariant* reply = nullptr;
    GError* error = nullptr;
  } answer;
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  g_dbus_connection_call(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", TrayStatusItem::kWatcherName), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, timeoutMs, cancellable,
      [](GObject* source, GAsyncResult* result, void* data) {
        auto& answer = *static_cast<Answer*>(data);
        answer.reply =
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &answer.error);
        answer.done = true;
      },
      &answer);
  const auto sliceMs = static_cast<guint>(GLibRunLoop::kStartupSliceSeconds * 1000);
  while (!answer.done) {
    // GDBus's own time-out ends the call; a signal cancels it, which GDBus reports at once.
    if (GLibRunLoop::terminationPending()) g_cancellable_cancel(cancellable);
    GSource* wake = g_timeout_source_new(sliceMs);
    g_source_set_callback(
        wake, [](void*) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(wake, context);
    g_main_context_iteration(context, TRUE);
    g_source_destroy(wake);
    g_source_unref(wake);
  }
  g_object_unref(cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  GVariant* reply = answer.reply;
  if (!reply) {
    whyNot = std::string("cannot ask the session bus for a tray: ") + answer.error->message;
    g_error_free(answer.error);
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
