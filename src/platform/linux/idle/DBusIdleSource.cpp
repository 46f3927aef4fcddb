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
    true,
};

// KDE registers the interface on both paths; other desktops have used either one.
const DBusIdleMethod kFreedesktopScreenSaver = {
    "org.freedesktop.ScreenSaver",
    {"/org/freedesktop/ScreenSaver", "/ScreenSaver"},
    "org.freedesktop.ScreenSaver",
    "GetSessionIdleTime",
    "(u)",
    false,
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
  GAsyncResult* await(Start start, double cancelledGrace = 0.5) {
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
      runUntil(wait->result, g_get_monotonic_time() + static_cast<gint64>(cancelledGrace * 1e6));
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
  WatchKind kind;  // of a watch being added
  GCancellable* cancellable = g_cancellable_new();

  explicit Pending(DBusIdleSource* owner, WatchKind kind = WatchKind::idle)
      : owner(owner), kind(kind) {}
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

  static void onWatchAdded(GObject* object, GAsyncResult* result, gpointer data) {
    auto* pending = static_cast<Pending*>(data);
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(object), result, nullptr);
    if (pending->owner) pending->owner->watchAdded(pending->kind, reply);
    if (reply) g_variant_unref(reply);
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
      source->query_.answered(millisecondsOf(reply), source->clock_());
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
  removeWatches(true);
  Pending::abandon(connecting_);
  dropConnection();
  g_main_context_unref(startContext_);
}

void DBusIdleSource::dropConnection() {
  Pending::abandon(call_);
  forgetWatches();
  owner_.clear();
  if (firedSubscription_) g_dbus_connection_signal_unsubscribe(connection_, firedSubscription_);
  firedSubscription_ = 0;
  if (nameWatch_) g_bus_unwatch_name(nameWatch_);
  nameWatch_ = 0;
  if (connection_) g_object_unref(connection_);
  connection_ = nullptr;
  // The first connection was made on the start-up context, where GDBus also announces its
  // end, and the answers to calls come there; nothing else runs that context, so its last
  // events are let through here, or they would keep the connection and the calls' records
  // alive for good.
  collect();
}

void DBusIdleSource::collect() {
  while (g_main_context_iteration(startContext_, FALSE)) {
  }
}

bool DBusIdleSource::waiting() {
  collect();
  return call_ || addingWatch_ || connecting_;
}

void DBusIdleSource::forgetWatches() {
  Pending::abandon(addingWatch_);
  idleWatch_ = 0;
  activeWatch_ = 0;
  idle_.restart();
}

IdleLookup DBusIdleSource::lookUp(double now) {
  collect();
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
  if (method_.watches && !nameWatch_) watchService();
  if (addingWatch_ && now - addingSince_ > query_.timing().giveUpSeconds) {
    // A service that takes this long to make a watch may never tell of it firing either.
    const WatchKind kind = addingWatch_->kind;
    Pending::abandon(addingWatch_);
    watchAdded(kind, nullptr);
  }
  if (watching()) return IdleLookup::nanoseconds(idle_.nanoseconds(now));
  if (query_.overdue(now)) {
    Pending::abandon(call_);
    query_.gaveUp();
  }
  if (query_.mayAsk(now)) ask(now);
  if (const auto ns = query_.idleNanoseconds(now)) return IdleLookup::nanoseconds(*ns);
  return IdleLookup::unavailable();
}

void DBusIdleSource::call(const char* member, GVariant* parameters, const char* replyType,
                          Pending* pending) {
  // The answer waits on the source's own context until a lookup collects it: the reply wakes
  // GDBus's thread, not the program's. No time-out of GDBus's own: a question is given up on
  // the source's clock, at a lookup.
  g_main_context_push_thread_default(startContext_);
  g_dbus_connection_call(connection_, method_.busName, path_, method_.interface, member, parameters,
                         G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, G_MAXINT,
                         pending->cancellable,
                         pending == call_ ? &Pending::onReply : &Pending::onWatchAdded, pending);
  g_main_context_pop_thread_default(startContext_);
}

void DBusIdleSource::ask(double now) {
  call_ = new Pending(this);
  ++calls_;
  query_.asked(now);
  call(method_.method, nullptr, method_.replyType, call_);
}

void DBusIdleSource::replied(GVariant* reply) {
  call_ = nullptr;
  if (reply) {
    query_.answered(millisecondsOf(reply), clock_());
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

void DBusIdleSource::watchService() {
  // Both on the loop's own context: a fired watch is acted on when it comes, so that the
  // reading passes the away threshold at the same tick as the idle time does. The sender is
  // checked against the name's owner, not left to GDBus, which matches a well-known sender
  // name differently from one GLib version to the next.
  firedSubscription_ = g_dbus_connection_signal_subscribe(
      connection_, nullptr, method_.interface, "WatchFired", path_, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*,
         GVariant* parameters, gpointer self) {
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(u)"))) return;
        guint32 id = 0;
        g_variant_get(parameters, "(u)", &id);
        static_cast<DBusIdleSource*>(self)->watchFired(sender, id);
      },
      this, nullptr);
  nameWatch_ = g_bus_watch_name_on_connection(
      connection_, method_.busName, G_BUS_NAME_WATCHER_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar* owner, gpointer self) {
        static_cast<DBusIdleSource*>(self)->serviceAppeared(owner);
      },
      [](GDBusConnection*, const gchar*, gpointer self) {
        static_cast<DBusIdleSource*>(self)->serviceVanished();
      },
      this, nullptr);
}

void DBusIdleSource::serviceAppeared(const char* owner) {
  if (owner_ == owner) return;
  // A new owner knows nothing of the watches of the one before.
  owner_ = owner;
  forgetWatches();
  addWatch(WatchKind::idle);
}

void DBusIdleSource::serviceVanished() {
  // Its watches went with it; until it is back, polling finds no one and says so once.
  owner_.clear();
  forgetWatches();
}

void DBusIdleSource::addWatch(WatchKind kind) {
  if (!connection_ || addingWatch_) return;
  addingWatch_ = new Pending(this, kind);
  addingSince_ = clock_();
  ++watchCalls_;
  if (kind == WatchKind::idle) {
    const auto ms = static_cast<guint64>(kIdleWatchSeconds * 1000.0);
    call("AddIdleWatch", g_variant_new("(t)", ms), "(u)", addingWatch_);
  } else {
    call("AddUserActiveWatch", nullptr, "(u)", addingWatch_);
  }
}

void DBusIdleSource::watchAdded(WatchKind kind, GVariant* reply) {
  addingWatch_ = nullptr;
  guint32 id = 0;
  if (reply) g_variant_get(reply, "(u)", &id);
  if (id == 0) {
    // No such method, a refusal, or the service going (which its name's watcher tells too):
    // this owner is polled from now on, as a service without watches is.
    removeWatches(false);
    idleWatch_ = activeWatch_ = 0;
    idle_.restart();
    return;
  }
  if (kind == WatchKind::idle) {
    idleWatch_ = id;
    idle_.restart();
    // Readings come from the watches now; a question still in flight is moot, and an answer
    // from before would be taken up again, stale, should the service go.
    Pending::abandon(call_);
    query_.forget();
  } else {
    activeWatch_ = id;
  }
}

void DBusIdleSource::watchFired(const char* sender, std::uint32_t id) {
  if (owner_.empty() || g_strcmp0(sender, owner_.c_str()) != 0) {
    ++strangeFires_;
    return;
  }
  // The reply that made the watch came before this signal; it may still wait to be collected.
  collect();
  if (id != 0 && id == idleWatch_) {
    idle_.idled(clock_());
    // Asked for only now, so that a user at work causes no signal at all.
    if (!activeWatch_) addWatch(WatchKind::active);
  } else if (id != 0 && id == activeWatch_) {
    // The service drops a user-active watch once it has fired.
    activeWatch_ = 0;
    idle_.resumed();
  } else {
    // A watch of an earlier owner or connection, or one that was never ours.
    ++strangeFires_;
  }
}

void DBusIdleSource::removeWatches(bool flush) {
  if (!connection_ || g_dbus_connection_is_closed(connection_) || owner_.empty()) return;
  bool sent = false;
  for (const std::uint32_t id : {idleWatch_, activeWatch_}) {
    if (id == 0) continue;
    GDBusMessage* message =
        g_dbus_message_new_method_call(owner_.c_str(), path_, method_.interface, "RemoveWatch");
    g_dbus_message_set_body(message, g_variant_new("(u)", id));
    g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    g_dbus_connection_send_message(connection_, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                   nullptr);
    g_object_unref(message);
    ++watchCalls_;
    sent = true;
  }
  if (!sent || !flush) return;
  // At the end: the service would drop the watches once this connection closes, but the end of
  // a source is not always the end of the program. GDBus writes on a thread of its own; a
  // short wait for it to have written, never for an answer.
  constexpr double kFlushSeconds = 0.1;
  StartContext wait(startContext_, kFlushSeconds);
  if (GAsyncResult* flushed =
          wait.await([&](GCancellable* c, GAsyncReadyCallback done,
                         void* d) { g_dbus_connection_flush(connection_, c, done, d); },
                     kFlushSeconds)) {
    g_dbus_connection_flush_finish(connection_, flushed, nullptr);
    g_object_unref(flushed);
  }
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
