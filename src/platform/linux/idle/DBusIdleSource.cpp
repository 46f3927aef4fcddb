#include "platform/linux/idle/DBusIdleSource.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "platform/linux/GLibRunLoop.h"

namespace platform::linux_backend {

const DBusIdleMethod kGnomeIdleMonitor = {
    "org.gnome.Mutter.IdleMonitor",
    {"/org/gnome/Mutter/IdleMonitor/Core", nullptr},
    "org.gnome.Mutter.IdleMonitor",
    "GetIdletime",
    "(t)",
};

// KDE registers the interface on both paths; other desktops have used either one.
const DBusIdleMethod kFreedesktopScreenSaver = {
    "org.freedesktop.ScreenSaver",
    {"/org/freedesktop/ScreenSaver", "/ScreenSaver"},
    "org.freedesktop.ScreenSaver",
    "GetSessionIdleTime",
    "(u)",
};

namespace {

constexpr auto kConnectionFlags = static_cast<GDBusConnectionFlags>(
    G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);

std::string seconds(double value) {
  gchar* text = g_strdup_printf("%g s", value);
  std::string out = text;
  g_free(text);
  return out;
}

bool pathIsUnknown(const GError* error) {
  return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD);
}

// Why a call at start-up failed, in words a user can act on.
std::string callFailure(const DBusIdleMethod& m, const GError* error, double timeout) {
  const std::string name = m.busName;
  if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
    return name + " is not on the session bus";
  }
  if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED)) {
    return name + " refuses " + m.method + ": NotSupported";
  }
  if (pathIsUnknown(error)) {
    std::string where = m.paths[0];
    if (m.paths[1]) where += std::string(" or ") + m.paths[1];
    return name + " has no " + m.interface + "." + m.method + " at " + where;
  }
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    return name + " did not answer " + m.method + " within " + seconds(timeout);
  }
  gchar* message = g_strdup(error->message);
  GError copy = *error;
  copy.message = message;
  g_dbus_error_strip_remote_error(&copy);
  std::string out = name + " " + m.method + " failed: " + copy.message;
  g_free(copy.message);
  return out;
}

std::uint64_t millisecondsOf(GVariant* reply) {
  if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(t)"))) {
    guint64 ms = 0;
    g_variant_get(reply, "(t)", &ms);
    return ms;
  }
  guint32 ms = 0;
  g_variant_get(reply, "(u)", &ms);
  return ms;
}

// Start-up work runs on a main context of its own, pushed as the thread's default so that
// GDBus delivers there: a signal arriving meanwhile waits for the program's loop, and nothing
// else of the program runs before it is built.
class StartContext {
 public:
  StartContext(GMainContext* context, double seconds)
      : context_(context), deadline_(g_get_monotonic_time() + static_cast<gint64>(seconds * 1e6)) {
    g_main_context_push_thread_default(context_);
  }
  ~StartContext() { g_main_context_pop_thread_default(context_); }
  StartContext(const StartContext&) = delete;
  StartContext& operator=(const StartContext&) = delete;

  // Starts an asynchronous operation and runs the context until it finishes or the deadline
  // passes, when it is cancelled. Its result, or null when even the cancellation did not come
  // back in time (a bus that stopped in the middle of the handshake); the operation is then
  // left to finish on its own.
  template <class Start>
  GAsyncResult* await(Start start) {
    struct Wait {
      GAsyncResult* result = nullptr;
      bool abandoned = false;
    };
    auto* wait = new Wait;
    GCancellable* cancellable = g_cancellable_new();
    const GAsyncReadyCallback done = [](GObject*, GAsyncResult* result, gpointer data) {
      auto* wait = static_cast<Wait*>(data);
      if (wait->abandoned) {
        delete wait;
        return;
      }
      wait->result = G_ASYNC_RESULT(g_object_ref(result));
    };
    start(cancellable, done, wait);
    if (!runUntil(wait->result, deadline_)) {
      g_cancellable_cancel(cancellable);
      runUntil(wait->result, g_get_monotonic_time() + 500'000);
    }
    g_object_unref(cancellable);
    GAsyncResult* result = wait->result;
    if (result) {
      delete wait;
    } else {
      wait->abandoned = true;
    }
    return result;
  }

 private:
  bool runUntil(GAsyncResult* const& result, gint64 deadline) {
    while (!result) {
      const gint64 left = std::min(deadline - g_get_monotonic_time(),
                                   static_cast<gint64>(GLibRunLoop::kStartupSliceSeconds * 1e6));
      if (left <= 0 || GLibRunLoop::terminationPending()) return false;
      // Wakes the iteration at the deadline, or to look for a signal, if nothing else does.
      GSource* timer = g_timeout_source_new(static_cast<guint>((left + 999) / 1000));
      g_source_set_callback(
          timer, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
      g_source_attach(timer, context_);
      g_main_context_iteration(context_, TRUE);
      g_source_destroy(timer);
      g_source_unref(timer);
    }
    return true;
  }

  GMainContext* context_;
  gint64 deadline_;
};

}  // namespace

std::optional<std::string> sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return address;
  }
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir) {
    const std::string path = std::string(dir) + "/bus";
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      gchar* escaped = g_dbus_address_escape_value(path.c_str());
      std::string address = std::string("unix:path=") + escaped;
      g_free(escaped);
      return address;
    }
  }
  return std::nullopt;
}

// One asynchronous operation of a running source. When the source no longer wants it (the
// source is destroyed, the call is given up, the connection dropped), `owner` is cleared and
// the operation cancelled; its callback, which GLib always calls, then only frees this.
struct DBusIdleSource::Pending {
  DBusIdleSource* owner;
  GCancellable* cancellable = g_cancellable_new();

  explicit Pending(DBusIdleSource* owner) : owner(owner) {}
  ~Pending() { g_object_unref(cancellable); }
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;

  static void abandon(Pending*& pending) {
    if (!pending) return;
    pending->owner = nullptr;
    g_cancellable_cancel(pending->cancellable);
    pending = nullptr;
  }

  static void onReply(GObject* object, GAsyncResult* result, gpointer data) {
    auto* pending = static_cast<Pending*>(data);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(object), result, &error);
    if (pending->owner) pending->owner->replied(reply);
    if (reply) g_variant_unref(reply);
    g_clear_error(&error);
    delete pending;
  }

  static void onConnected(GObject*, GAsyncResult* result, gpointer data) {
    auto* pending = static_cast<Pending*>(data);
    GDBusConnection* connection = g_dbus_connection_new_for_address_finish(result, nullptr);
    if (pending->owner) {
      pending->owner->reconnected(connection);
    } else if (connection) {
      g_object_unref(connection);
    }
    delete pending;
  }
};

std::unique_ptr<DBusIdleSource> DBusIdleSource::connect(const DBusIdleMethod& method,
                                                        const std::string& address, Clock clock,
                                                        std::string& whyNot,
                                                        PolledIdleTime::Timing timing,
                                                        double startTimeout) {
  std::unique_ptr<DBusIdleSource> source(
      new DBusIdleSource(method, address, std::move(clock), timing));
  StartContext start(source->startContext_, startTimeout);

  GError* error = nullptr;
  GAsyncResult* connected = start.await([&](GCancellable* c, GAsyncReadyCallback done, void* d) {
    g_dbus_connection_new_for_address(address.c_str(), kConnectionFlags, nullptr, c, done, d);
  });
  if (connected) {
    source->connection_ = g_dbus_connection_new_for_address_finish(connected, &error);
    g_object_unref(connected);
  }
  if (!source->connection_) {
    whyNot = "cannot connect to the session bus at " + address + ": " +
             (error && !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)
                  ? std::string(error->message)
                  : "no answer within " + seconds(startTimeout));
    g_clear_error(&error);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(source->connection_, FALSE);

  for (const char* path : method.paths) {
    if (!path) break;
    g_clear_error(&error);
    const double askedAt = source->clock_();
    GAsyncResult* answered = start.await([&](GCancellable* c, GAsyncReadyCallback done, void* d) {
      g_dbus_connection_call(source->connection_, method.busName, path, method.interface,
                             method.method, nullptr, G_VARIANT_TYPE(method.replyType),
                             G_DBUS_CALL_FLAGS_NO_AUTO_START, G_MAXINT, c, done, d);
    });
    if (!answered) {
      g_set_error_literal(&error, G_IO_ERROR, G_IO_ERROR_CANCELLED, "no answer");
      break;
    }
    GVariant* reply = g_dbus_connection_call_finish(source->connection_, answered, &error);
    g_object_unref(answered);
    if (reply) {
      source->path_ = path;
      source->query_.asked(askedAt);
      source->query_.answered(millisecondsOf(reply));
      g_variant_unref(reply);
      return source;
    }
    if (!pathIsUnknown(error)) break;
  }
  whyNot = callFailure(method, error, startTimeout);
  g_clear_error(&error);
  return nullptr;
}

DBusIdleSource::DBusIdleSource(const DBusIdleMethod& method, std::string address, Clock clock,
                               PolledIdleTime::Timing timing)
    : method_(method),
      path_(method.paths[0]),
      address_(std::move(address)),
      clock_(std::move(clock)),
      query_(timing),
      startContext_(g_main_context_new()) {}

DBusIdleSource::~DBusIdleSource() {
  Pending::abandon(connecting_);
  dropConnection();
  g_main_context_unref(startContext_);
}

void DBusIdleSource::dropConnection() {
  Pending::abandon(call_);
  if (connection_) g_object_unref(connection_);
  connection_ = nullptr;
  // The first connection was made on the start-up context, where GDBus also announces its
  // end; nothing else runs that context, so its last events are let through here, or they
  // would keep the connection alive for good.
  while (g_main_context_iteration(startContext_, FALSE)) {
  }
}

IdleLookup DBusIdleSource::lookUp(double now) {
  if (connection_ && g_dbus_connection_is_closed(connection_)) {
    dropConnection();
    query_.failed(now);
    reconnectAt_ = now + query_.timing().retrySeconds;
  }
  if (!connection_) {
    // A reconnection still under way after a whole interval is stuck: start it afresh.
    if (now >= reconnectAt_) reconnect(now);
    return IdleLookup::unavailable();
  }
  if (query_.overdue(now)) {
    Pending::abandon(call_);
    query_.gaveUp();
  }
  if (query_.mayAsk(now)) ask(now);
  if (const auto ns = query_.idleNanoseconds(now)) return IdleLookup::nanoseconds(*ns);
  return IdleLookup::unavailable();
}

void DBusIdleSource::ask(double now) {
  call_ = new Pending(this);
  ++calls_;
  query_.asked(now);
  // No time-out of GDBus's own: the question is given up on the source's clock, at a lookup.
  g_dbus_connection_call(connection_, method_.busName, path_, method_.interface, method_.method,
                         nullptr, G_VARIANT_TYPE(method_.replyType),
                         G_DBUS_CALL_FLAGS_NO_AUTO_START, G_MAXINT, call_->cancellable,
                         &Pending::onReply, call_);
}

void DBusIdleSource::replied(GVariant* reply) {
  call_ = nullptr;
  if (reply) {
    query_.answered(millisecondsOf(reply));
  } else {
    // The name vanished, the service refused, or the bus went away (seen at the next lookup).
    query_.failed(clock_());
  }
}

void DBusIdleSource::reconnect(double now) {
  Pending::abandon(connecting_);
  ++reconnections_;
  reconnectAt_ = now + query_.timing().retrySeconds;
  connecting_ = new Pending(this);
  g_dbus_connection_new_for_address(address_.c_str(), kConnectionFlags, nullptr,
                                    connecting_->cancellable, &Pending::onConnected, connecting_);
}

void DBusIdleSource::reconnected(GDBusConnection* connection) {
  connecting_ = nullptr;
  if (!connection) return;  // tried again after the interval
  // Not the shared g_bus_get connection: that one ends the process when the bus goes away,
  // and stays closed once closed.
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  connection_ = connection;
}

std::string probeSessionBus(const LinuxContext&) {
  return sessionBusAddress() ? ""
                             : "no session bus (DBUS_SESSION_BUS_ADDRESS is not set and "
                               "$XDG_RUNTIME_DIR/bus does not exist)";
}

namespace {

std::unique_ptr<IdleSource> connectTo(const DBusIdleMethod& method, LinuxContext& context,
                                      std::string& whyNot) {
  const auto address = sessionBusAddress();
  if (!address) {
    whyNot = probeSessionBus(context);
    return nullptr;
  }
  return DBusIdleSource::connect(
      method, *address, [&loop = context.loop] { return loop.runLoop().now(); }, whyNot);
}

}  // namespace

std::unique_ptr<IdleSource> connectGnomeIdleMonitor(LinuxContext& context, std::string& whyNot) {
  return connectTo(kGnomeIdleMonitor, context, whyNot);
}

std::unique_ptr<IdleSource> connectFreedesktopScreenSaver(LinuxContext& context,
                                                          std::string& whyNot) {
  return connectTo(kFreedesktopScreenSaver, context, whyNot);
}

}  // namespace platform::linux_backend
