// DBusIdleSource.h: the idle time from a desktop service on the session bus: GNOME's idle
// monitor, or the freedesktop screen saver interface (KDE on X11). One method call answers
// with the milliseconds since the last input; it is asked asynchronously, never waited for.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/IdleSource.h"
#include "platform/linux/Providers.h"
#include "platform/linux/idle/PolledIdleTime.h"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GVariant GVariant;
typedef struct _GMainContext GMainContext;

namespace platform::linux_backend {

// The session bus as the environment names it: DBUS_SESSION_BUS_ADDRESS, else the socket
// $XDG_RUNTIME_DIR/bus if it exists. Never X11 autolaunch, which would start a bus of its own.
std::optional<std::string> sessionBusAddress();

// One idle-time method of a service on the bus.
struct DBusIdleMethod {
  const char* busName;
  std::array<const char*, 2> paths;  // tried in turn at connect; the second may be null
  const char* interface;
  const char* method;
  const char* replyType;  // "(t)" or "(u)": milliseconds
};

extern const DBusIdleMethod kGnomeIdleMonitor;
extern const DBusIdleMethod kFreedesktopScreenSaver;

class DBusIdleSource final : public IdleSource {
 public:
  using Clock = std::function<double()>;  // monotonic seconds

  // Connects to the bus at `address` and asks once, within `startTimeout` seconds, on a main
  // context of its own so that no other source of the program runs meanwhile. Null, saying
  // why, when the bus cannot be reached or the service is absent, refuses or does not answer.
  static std::unique_ptr<DBusIdleSource> connect(const DBusIdleMethod& method,
                                                 const std::string& address, Clock clock,
                                                 std::string& whyNot,
                                                 PolledIdleTime::Timing timing = {},
                                                 double startTimeout = 1.0);

  ~DBusIdleSource() override;
  DBusIdleSource(const DBusIdleSource&) = delete;
  DBusIdleSource& operator=(const DBusIdleSource&) = delete;

  // Sends the next question if none is in flight (its answer comes on the default main
  // context) and answers from the newest answer at once. A stalled question is given up; a
  // refusal, a vanished service or a lost bus read as unavailable, tried again after the
  // retry interval.
  IdleLookup lookUp(double now);
  IdleLookup lookUpIdleTime() override { return lookUp(clock_()); }

  // Whether a call or a reconnection is under way.
  bool waiting() const { return call_ || connecting_; }
  // How many calls were sent, and how often the bus was connected again after it was lost:
  // a test's measure of calm.
  int calls() const { return calls_; }
  int reconnections() const { return reconnections_; }

 private:
  struct Pending;

  DBusIdleSource(const DBusIdleMethod& method, std::string address, Clock clock,
                 PolledIdleTime::Timing timing);
  void ask(double now);
  void replied(GVariant* reply);
  void reconnect(double now);
  void reconnected(GDBusConnection* connection);
  void dropConnection();

  const DBusIdleMethod& method_;
  const char* path_;
  std::string address_;
  Clock clock_;
  PolledIdleTime query_;
  GDBusConnection* connection_ = nullptr;
  Pending* call_ = nullptr;        // the question in flight
  Pending* connecting_ = nullptr;  // the reconnection under way
  GMainContext* startContext_;     // where the first connection was made
  double reconnectAt_ = 0;
  int calls_ = 0;
  int reconnections_ = 0;
};

std::string probeSessionBus(const LinuxContext& context);
std::unique_ptr<IdleSource> connectGnomeIdleMonitor(LinuxContext& context, std::string& whyNot);
std::unique_ptr<IdleSource> connectFreedesktopScreenSaver(LinuxContext& context,
                                                          std::string& whyNot);

}  // namespace platform::linux_backend
