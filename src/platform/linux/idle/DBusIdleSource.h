// DBusIdleSource.h: the idle time from a desktop service on the session bus: GNOME's idle
// monitor, or the freedesktop screen saver interface (KDE on X11). One method call answers
// with the milliseconds since the last input; it is asked asynchronously, never waited for.
// GNOME's monitor also offers watches, which tell when the user has been idle for a while and
// when they are back, so that a working user costs no message at all.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/IdleSource.h"
#include "platform/linux/Providers.h"
#include "platform/linux/idle/NotifiedIdleTime.h"
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
  // Whether the interface has mutter's watches: AddIdleWatch(t) and AddUserActiveWatch()
  // returning (u) ids, the WatchFired(u) signal, RemoveWatch(u).
  bool watches;
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

  // The idle watch fires this long before the away threshold of 61 x 2^30 ns (about 65.5 s),
  // so that the reading passes the threshold at the same tick as the true idle time does.
  static constexpr double kIdleWatchSeconds = 60.0;

  // Where the service has watches: from the watches once the idle watch is in place, with no
  // call at all while the user works. Otherwise, and until then: sends the next question if
  // none is in flight and answers from the newest answer at once. Answers to calls are not
  // dispatched when they arrive but collected here, at the next lookup, so that they cost the
  // program no wakeup of their own. A stalled question is given up; a refusal, a vanished
  // service or a lost bus read as unavailable, tried again after the retry interval.
  IdleLookup lookUp(double now);
  IdleLookup lookUpIdleTime() override { return lookUp(clock_()); }

  // Whether a call or a reconnection is under way whose answer has not come in yet.
  bool waiting();
  // Whether the idle watch is in place, so that no question is asked.
  bool watching() const { return idleWatch_ != 0; }
  // How many idle-time calls and watch calls were sent, how often the bus was connected again
  // after it was lost, and how many fired watches were not this source's: a test's measure of
  // calm.
  int calls() const { return calls_; }
  int watchCalls() const { return watchCalls_; }
  int reconnections() const { return reconnections_; }
  int strangeFires() const { return strangeFires_; }

 private:
  struct Pending;
  enum class WatchKind { idle, active };

  DBusIdleSource(const DBusIdleMethod& method, std::string address, Clock clock,
                 PolledIdleTime::Timing timing);
  // Dispatches the answers that came in since the last lookup.
  void collect();
  void call(const char* member, GVariant* parameters, const char* replyType, Pending* pending);
  void ask(double now);
  void replied(GVariant* reply);
  void reconnect(double now);
  void reconnected(GDBusConnection* connection);
  void dropConnection();
  void forgetWatches();

  // The watches (interfaces that have them), per connection and per owner of the name.
  void watchService();
  void serviceAppeared(const char* owner);
  void serviceVanished();
  void addWatch(WatchKind kind);
  void watchAdded(WatchKind kind, GVariant* reply);
  void watchFired(const char* sender, std::uint32_t id);
  // Asks the service to drop this source's watches; with `flush`, waits a moment for GDBus
  // to have sent that (at the end only, when the loop no longer runs).
  void removeWatches(bool flush);

  const DBusIdleMethod& method_;
  const char* path_;
  std::string address_;
  Clock clock_;
  PolledIdleTime query_;
  GDBusConnection* connection_ = nullptr;
  Pending* call_ = nullptr;        // the question in flight
  Pending* connecting_ = nullptr;  // the reconnection under way
  // Where the first connection was made, and where the answers to calls wait for the next
  // lookup: no loop watches it.
  GMainContext* startContext_;
  double reconnectAt_ = 0;
  int calls_ = 0;
  int watchCalls_ = 0;
  int reconnections_ = 0;
  int strangeFires_ = 0;

  // Watches. `nameWatch_` follows the service's owner; the watches live as long as that owner
  // and this connection. Readings come from `idle_` while the idle watch is in place.
  unsigned nameWatch_ = 0;
  unsigned firedSubscription_ = 0;
  std::string owner_;               // the service's unique name, empty while it is absent
  Pending* addingWatch_ = nullptr;  // AddIdleWatch or AddUserActiveWatch in flight
  double addingSince_ = 0;
  std::uint32_t idleWatch_ = 0;
  std::uint32_t activeWatch_ = 0;
  NotifiedIdleTime idle_{kIdleWatchSeconds};
};

std::string probeSessionBus(const LinuxContext& context);
std::unique_ptr<IdleSource> connectGnomeIdleMonitor(LinuxContext& context, std::string& whyNot);
std::unique_ptr<IdleSource> connectFreedesktopScreenSaver(LinuxContext& context,
                                                          std::string& whyNot);

}  // namespace platform::linux_backend
