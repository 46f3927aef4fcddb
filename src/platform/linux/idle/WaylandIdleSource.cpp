#include "platform/linux/idle/WaylandIdleSource.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "ext-idle-notify-v1-client-protocol.h"
#include "idle-client-protocol.h"
#include "platform/linux/GLibRunLoop.h"

namespace platform::linux_backend {

using Connection = WaylandIdleSource::Connection;

namespace {

// All that differs between the two protocols: the global to bind, how to ask for one
// notification (the same request with its arguments in another order) and how to let go.
struct IdleProtocol {
  const wl_interface* notifier;
  wl_proxy* (*watch)(wl_proxy* notifier, wl_seat* seat, std::uint32_t ms, Connection* events);
  void (*releaseNotification)(wl_proxy* notification);
  void (*releaseNotifier)(wl_proxy* notifier);
};

void onIdled(void* data);
void onResumed(void* data);

template <class T>
T* as(wl_proxy* proxy) {
  return reinterpret_cast<T*>(proxy);
}

const IdleProtocol kExtIdleNotify = {
    &ext_idle_notifier_v1_interface,
    [](wl_proxy* notifier, wl_seat* seat, std::uint32_t ms, Connection* events) {
      static const ext_idle_notification_v1_listener listener = {
          [](void* data, ext_idle_notification_v1*) { onIdled(data); },
          [](void* data, ext_idle_notification_v1*) { onResumed(data); }};
      auto* notification =
          ext_idle_notifier_v1_get_idle_notification(as<ext_idle_notifier_v1>(notifier), ms, seat);
      ext_idle_notification_v1_add_listener(notification, &listener, events);
      return reinterpret_cast<wl_proxy*>(notification);
    },
    [](wl_proxy* n) { ext_idle_notification_v1_destroy(as<ext_idle_notification_v1>(n)); },
    [](wl_proxy* n) { ext_idle_notifier_v1_destroy(as<ext_idle_notifier_v1>(n)); },
};

const IdleProtocol kKdeIdle = {
    &org_kde_kwin_idle_interface,
    [](wl_proxy* notifier, wl_seat* seat, std::uint32_t ms, Connection* events) {
      static const org_kde_kwin_idle_timeout_listener listener = {
          [](void* data, org_kde_kwin_idle_timeout*) { onIdled(data); },
          [](void* data, org_kde_kwin_idle_timeout*) { onResumed(data); }};
      auto* timeout = org_kde_kwin_idle_get_idle_timeout(as<org_kde_kwin_idle>(notifier), seat, ms);
      org_kde_kwin_idle_timeout_add_listener(timeout, &listener, events);
      return reinterpret_cast<wl_proxy*>(timeout);
    },
    [](wl_proxy* n) { org_kde_kwin_idle_timeout_release(as<org_kde_kwin_idle_timeout>(n)); },
    // Version 1 of org_kde_kwin_idle has no destructor request.
    [](wl_proxy* n) { wl_proxy_destroy(n); },
};

const IdleProtocol& protocolOf(WaylandIdleSource::Protocol protocol) {
  return protocol == WaylandIdleSource::Protocol::extIdleNotify ? kExtIdleNotify : kKdeIdle;
}

std::string displayName() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  return name && *name ? name : "wayland-0";
}

// libwayland's own connect uses a blocking socket, and a compositor that is stopped with a full
// listen queue would hold a reconnecting program there; this one fails at once instead.
int openDisplaySocket(std::string& whyNot) {
  const std::string name = displayName();
  std::string path = name;
  if (name.front() != '/') {
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (!runtimeDir || !*runtimeDir) {
      whyNot = "XDG_RUNTIME_DIR is not set";
      return -1;
    }
    path = std::string(runtimeDir) + "/" + name;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    whyNot = "socket path too long: " + path;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    whyNot = "cannot connect to " + name + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

struct WatchSource {
  GSource base;
  Connection* connection;
};

gboolean dispatchWatch(GSource* source, GSourceFunc, gpointer);
GSourceFuncs watchFuncs = {nullptr, nullptr, dispatchWatch, nullptr, nullptr, nullptr};

constexpr GIOCondition kReadConditions = GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR);

}  // namespace

struct WaylandIdleSource::Connection {
  struct Global {
    std::uint32_t name;
  };

  Connection(WaylandIdleSource& owner, const IdleProtocol& protocol)
      : owner(owner), protocol(protocol) {}
  ~Connection() {
    if (watch) {
      g_source_destroy(watch);
      g_source_unref(watch);
    }
    if (notification) protocol.releaseNotification(notification);
    if (notifier) protocol.releaseNotifier(notifier);
    if (seat) wl_seat_destroy(seat);
    if (sync) wl_callback_destroy(sync);
    if (registry) wl_registry_destroy(registry);
    if (display) wl_display_disconnect(display);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Queued events to the listeners, buffered requests to the compositor; never waits.
  void exchange(bool readable) {
    while (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) return;
    }
    if (readable) {
      wl_display_read_events(display);  // a failure shows in wl_display_get_error
    } else {
      wl_display_cancel_read(display);
    }
    wl_display_dispatch_pending(display);
    waitsToWrite = wl_display_flush(display) < 0 && errno == EAGAIN;
  }

  void watchOn(GMainContext* context) {
    watch = g_source_new(&watchFuncs, sizeof(WatchSource));
    reinterpret_cast<WatchSource*>(watch)->connection = this;
    g_source_set_name(watch, "wayland idle notifications");
    tag = g_source_add_unix_fd(watch, wl_display_get_fd(display), kReadConditions);
    g_source_attach(watch, context);
  }
  void updateWatch() {
    if (watch) {
      g_source_modify_unix_fd(watch, tag,
                              GIOCondition(kReadConditions | (waitsToWrite ? G_IO_OUT : 0)));
    }
  }

  // The listeners only note what they hear: acting on it may end the connection, which must
  // not happen inside libwayland's dispatch.
  void idled() { owner.idle_.idled(owner.clock_()); }
  void resumed() { owner.idle_.resumed(); }

  // May end this connection: the caller touches nothing of it afterwards.
  void ready(GIOCondition condition) { owner.onEvents(condition); }

  WaylandIdleSource& owner;
  const IdleProtocol& protocol;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_callback* sync = nullptr;  // answered once every global has been announced
  bool globalsKnown = false;
  bool globalRemoved = false;
  std::optional<Global> seatGlobal, notifierGlobal;
  wl_seat* seat = nullptr;
  wl_proxy* notifier = nullptr;
  wl_proxy* notification = nullptr;
  bool waitsToWrite = false;
  GSource* watch = nullptr;
  gpointer tag = nullptr;
};

namespace {

void onIdled(void* data) { static_cast<Connection*>(data)->idled(); }
void onResumed(void* data) { static_cast<Connection*>(data)->resumed(); }

const wl_registry_listener registryListener = {
    [](void* data, wl_registry*, std::uint32_t name, const char* interface, std::uint32_t) {
      auto& c = *static_cast<Connection*>(data);
      const std::string_view announced = interface;
      // The first seat is the user's; a second one (rare) would be another person's.
      if (announced == wl_seat_interface.name && !c.seatGlobal) c.seatGlobal = {name};
      if (announced == c.protocol.notifier->name && !c.notifierGlobal) c.notifierGlobal = {name};
    },
    [](void* data, wl_registry*, std::uint32_t name) {
      auto& c = *static_cast<Connection*>(data);
      if ((c.seatGlobal && c.seatGlobal->name == name) ||
          (c.notifierGlobal && c.notifierGlobal->name == name)) {
        c.globalRemoved = true;
      }
    },
};

const wl_callback_listener syncListener = {
    [](void* data, wl_callback* callback, std::uint32_t) {
      auto& c = *static_cast<Connection*>(data);
      wl_callback_destroy(callback);
      c.sync = nullptr;
      c.globalsKnown = true;
    },
};

gboolean dispatchWatch(GSource* source, GSourceFunc, gpointer) {
  Connection* connection = reinterpret_cast<WatchSource*>(source)->connection;
  // May end the connection, and this source with it: touch neither afterwards.
  connection->ready(g_source_query_unix_fd(source, connection->tag));
  return G_SOURCE_CONTINUE;
}

}  // namespace

std::unique_ptr<WaylandIdleSource> WaylandIdleSource::connect(Protocol protocol,
                                                              GMainContext* context, Clock clock,
                                                              std::string& whyNot,
                                                              const Settings& settings) {
  std::unique_ptr<WaylandIdleSource> source(
      new WaylandIdleSource(protocol, context, std::move(clock), settings));
  if (!source->startAttempt(whyNot)) return nullptr;
  // Before the main loop runs, a short wait for the answer is fine; the first reading after
  // start should already know whether this source works.
  const double deadline = source->clock_() + settings.startSeconds;
  for (;;) {
    if (!source->advance(whyNot)) return nullptr;
    if (source->isConnected()) break;
    const double left = deadline - source->clock_();
    if (left <= 0) {
      whyNot = displayName() + " did not answer within " +
               std::to_string(static_cast<int>(std::lround(settings.startSeconds))) + " s";
      return nullptr;
    }
    if (GLibRunLoop::terminationPending()) {
      whyNot = "interrupted";
      return nullptr;
    }
    Connection& c = *source->connection_;
    pollfd fd{wl_display_get_fd(c.display), short(POLLIN | (c.waitsToWrite ? POLLOUT : 0)), 0};
    const double slice = std::min(left, GLibRunLoop::kStartupSliceSeconds);
    const int ready = poll(&fd, 1, static_cast<int>(std::ceil(slice * 1000.0)));
    c.exchange(ready > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR)));
  }
  source->connection_->updateWatch();
  return source;
}

WaylandIdleSource::WaylandIdleSource(Protocol protocol, GMainContext* context, Clock clock,
                                     const Settings& settings)
    : protocol_(protocol),
      context_(context),
      clock_(std::move(clock)),
      settings_(settings),
      idle_(settings.timeoutSeconds),
      pacing_(settings.retrySeconds) {}

WaylandIdleSource::~WaylandIdleSource() {
  if (retry_) {
    g_source_destroy(retry_);
    g_source_unref(retry_);
  }
}

bool WaylandIdleSource::isConnected() const { return connection_ && connection_->notification; }

IdleLookup WaylandIdleSource::lookUpIdleTime() {
  if (!isConnected()) return IdleLookup::unavailable();
  return IdleLookup::nanoseconds(idle_.nanoseconds(clock_()));
}

bool WaylandIdleSource::startAttempt(std::string& whyNot) {
  connection_.reset();
  pacing_.attempted(clock_());
  ++attempts_;
  const int fd = openDisplaySocket(whyNot);
  if (fd < 0) return false;
  auto c = std::make_unique<Connection>(*this, protocolOf(protocol_));
  c->display = wl_display_connect_to_fd(fd);  // owns the descriptor from here, even on failure
  if (!c->display) {
    whyNot = "cannot set up a connection to " + displayName();
    return false;
  }
  c->registry = wl_display_get_registry(c->display);
  wl_registry_add_listener(c->registry, &registryListener, c.get());
  c->sync = wl_display_sync(c->display);
  wl_callback_add_listener(c->sync, &syncListener, c.get());
  c->waitsToWrite = wl_display_flush(c->display) < 0 && errno == EAGAIN;
  c->watchOn(context_);
  c->updateWatch();
  connection_ = std::move(c);
  return true;
}

bool WaylandIdleSource::advance(std::string& whyNot) {
  Connection& c = *connection_;
  const std::string name = displayName();
  if (const int error = wl_display_get_error(c.display)) {
    whyNot = "lost the connection to " + name + ": " + std::strerror(error);
    return false;
  }
  if (c.globalRemoved) {
    whyNot = name + " withdrew its seat or " + c.protocol.notifier->name;
    return false;
  }
  if (c.notification || !c.globalsKnown) return true;
  if (!c.notifierGlobal) {
    whyNot = std::string("compositor lacks ") + c.protocol.notifier->name;
    return false;
  }
  if (!c.seatGlobal) {
    whyNot = "compositor has no seat";
    return false;
  }
  c.seat = static_cast<wl_seat*>(
      wl_registry_bind(c.registry, c.seatGlobal->name, &wl_seat_interface, 1));
  c.notifier = static_cast<wl_proxy*>(
      wl_registry_bind(c.registry, c.notifierGlobal->name, c.protocol.notifier, 1));
  const auto ms = static_cast<std::uint32_t>(std::lround(settings_.timeoutSeconds * 1000.0));
  c.notification = c.protocol.watch(c.notifier, c.seat, ms, &c);
  idle_.restart();
  c.waitsToWrite = wl_display_flush(c.display) < 0 && errno == EAGAIN;
  if (retry_) {
    // Connected: the attempt's deadline is moot.
    g_source_destroy(retry_);
    g_source_unref(retry_);
    retry_ = nullptr;
  }
  return true;
}

void WaylandIdleSource::onEvents(int condition) {
  connection_->exchange(condition & kReadConditions);
  std::string whyNot;
  if (!advance(whyNot)) {
    lose();
    return;
  }
  connection_->updateWatch();
}

void WaylandIdleSource::lose() {
  connection_.reset();
  scheduleRetry(pacing_.delay(clock_()));
}

void WaylandIdleSource::scheduleRetry(double delaySeconds) {
  if (retry_) return;  // an attempt is already due, no sooner than the pacing allows
  retry_ = g_timeout_source_new(static_cast<guint>(std::ceil(delaySeconds * 1000.0)));
  g_source_set_name(retry_, "wayland reconnect");
  g_source_set_callback(
      retry_,
      [](gpointer self) -> gboolean {
        static_cast<WaylandIdleSource*>(self)->onRetry();
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
  g_source_attach(retry_, context_);
}

void WaylandIdleSource::onRetry() {
  g_source_unref(retry_);  // the context drops its own reference as the callback returns
  retry_ = nullptr;
  // An attempt still unanswered now is given up along with its connection: a compositor that
  // is stopped must not hold the source in "connecting" forever.
  std::string whyNot;
  startAttempt(whyNot);
  // Whether it failed at once or waits for answers, the next attempt may come one interval from
  // now; an attempt that succeeds cancels it.
  scheduleRetry(pacing_.delay(clock_()));
}

std::string probeWayland(const LinuxContext&) {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return display && *display ? "" : "WAYLAND_DISPLAY is not set";
}

namespace {

std::unique_ptr<IdleSource> connectWayland(WaylandIdleSource::Protocol protocol,
                                           LinuxContext& context, std::string& whyNot) {
  return WaylandIdleSource::connect(
      protocol, context.loop.context(), [&loop = context.loop] { return loop.runLoop().now(); },
      whyNot);
}

}  // namespace

std::unique_ptr<IdleSource> connectExtIdleNotify(LinuxContext& context, std::string& whyNot) {
  return connectWayland(WaylandIdleSource::Protocol::extIdleNotify, context, whyNot);
}

std::unique_ptr<IdleSource> connectKdeIdle(LinuxContext& context, std::string& whyNot) {
  return connectWayland(WaylandIdleSource::Protocol::kdeIdle, context, whyNot);
}

}  // namespace platform::linux_backend
