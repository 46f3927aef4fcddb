// WaylandIdleSource.h: the idle time from a Wayland compositor's idle notifications, through
// ext_idle_notifier_v1 or the older org_kde_kwin_idle (sway 1.7). Both work the same way: ask
// once to be told after a timeout of idleness on a seat, then hear "idled" and "resumed".
#pragma once

#include <glib.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/IdleSource.h"
#include "platform/linux/Providers.h"
#include "platform/linux/idle/NotifiedIdleTime.h"

namespace platform::linux_backend {

std::string probeWayland(const LinuxContext& context);
std::unique_ptr<IdleSource> connectExtIdleNotify(LinuxContext& context, std::string& whyNot);
std::unique_ptr<IdleSource> connectKdeIdle(LinuxContext& context, std::string& whyNot);

class WaylandIdleSource final : public IdleSource {
 public:
  enum class Protocol { extIdleNotify, kdeIdle };
  using Clock = std::function<double()>;  // monotonic seconds

  struct Settings {
    // Below the away threshold of 61 x 2^30 ns, so that the first reading above it comes at
    // the same tick as with a polled source; long, so that pauses in typing bring no events.
    double timeoutSeconds = 60.0;
    // A lost compositor is looked for again at most this often, and an attempt that has not
    // been answered by then is given up.
    double retrySeconds = 10.0;
    // How long the first connection, before the main loop runs, may wait for an answer.
    double startSeconds = 2.0;
  };

  // Connects to $WAYLAND_DISPLAY and asks for idle notifications, waiting at most
  // `settings.startSeconds`. Null, saying why, when the compositor is not there, does not
  // answer, lacks the protocol's global or has no seat. From then on the connection is watched
  // on `context`, and made again after it is lost.
  static std::unique_ptr<WaylandIdleSource> connect(Protocol protocol, GMainContext* context,
                                                    Clock clock, std::string& whyNot,
                                                    const Settings& settings);
  static std::unique_ptr<WaylandIdleSource> connect(Protocol protocol, GMainContext* context,
                                                    Clock clock, std::string& whyNot) {
    return connect(protocol, context, std::move(clock), whyNot, Settings{});
  }

  ~WaylandIdleSource() override;
  WaylandIdleSource(const WaylandIdleSource&) = delete;
  WaylandIdleSource& operator=(const WaylandIdleSource&) = delete;

  // From the state the compositor's events left, never from a request: 0 until the timeout
  // has passed without input, then the idle time; "unavailable" while there is no connection.
  IdleLookup lookUpIdleTime() override;

  // Whether a notification is in place, and how many connections were tried in all.
  bool isConnected() const;
  int connectionAttempts() const { return attempts_; }

  // One connection with its objects; defined in the .cpp.
  struct Connection;

 private:
  WaylandIdleSource(Protocol protocol, GMainContext* context, Clock clock,
                    const Settings& settings);

  bool startAttempt(std::string& whyNot);
  // Acts on what the events just dispatched said; false, saying why, if the connection is no
  // good any more.
  bool advance(std::string& whyNot);
  void onEvents(int condition);
  void lose();
  void scheduleRetry(double delaySeconds);
  void onRetry();

  Protocol protocol_;
  GMainContext* context_;
  Clock clock_;
  Settings settings_;
  NotifiedIdleTime idle_;
  RetryPacing pacing_;
  std::unique_ptr<Connection> connection_;
  GSource* retry_ = nullptr;
  int attempts_ = 0;
};

}  // namespace platform::linux_backend
