// PrivateBus.h: a dbus-daemon of the test's own, and connections to it.
#pragma once

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testing_support {

// A session bus of the test's own; killed with its owner, or earlier by stop(). `rules` is a
// busconfig of the test's own; without it the daemon reads the system's session configuration.
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& rules = {}) {
    std::string configOption = "--session";
    if (!rules.empty()) {
      char config[] = "/tmp/test-bus-XXXXXX";
      const int file = mkstemp(config);
      if (file < 0) return;
      config_ = config;
      const bool written = ::write(file, rules.data(), rules.size()) == ssize_t(rules.size());
      close(file);
      if (!written) return;
      configOption = "--config-file=" + config_;
    }
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      // Gone with the test, even one killed by its timeout.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, STDERR_FILENO);
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execlp("dbus-daemon", "dbus-daemon", configOption.c_str(), "--nofork", "--nopidfile",
             "--print-address=1", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[512] = {};
    if (in && std::fgets(line, sizeof line, in)) address_ = line;
    if (in) std::fclose(in);
    while (!address_.empty() && address_.back() == '\n') address_.pop_back();
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;
  ~PrivateBus() {
    stop();
    if (!config_.empty()) unlink(config_.c_str());
  }
  void stop(int signal = SIGTERM) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string config_;
  std::string address_;
};

// A connection of its own to the bus at `address`, as a desktop's service or host has; null if
// it cannot be made.
inline GDBusConnection* connectTo(const std::string& address) {
  return g_dbus_connection_new_for_address_sync(
      address.c_str(),
      GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

// The watcher's one method that items call, as a desktop's StatusNotifierWatcher has it.
inline GDBusInterfaceInfo* watcherInterface() {
  static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
      "<node><interface name='org.kde.StatusNotifierWatcher'>"
      "<method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
      "</interface></node>",
      nullptr);
  return node->interfaces[0];
}

// A desktop notification server's methods that the program calls.
inline GDBusInterfaceInfo* notificationsInterface() {
  static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
      "<node><interface name='org.freedesktop.Notifications'>"
      "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
      "<arg type='s' direction='in'/><arg type='s' direction='in'/>"
      "<arg type='s' direction='in'/><arg type='as' direction='in'/>"
      "<arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
      "<arg type='u' direction='out'/></method>"
      "<method name='CloseNotification'><arg type='u' direction='in'/></method>"
      "</interface></node>",
      nullptr);
  return node->interfaces[0];
}

// A StatusNotifierWatcher on `bus` that takes every item and counts the registrations; gone,
// name and object, with it.
class CountingWatcher {
 public:
  explicit CountingWatcher(GDBusConnection* bus) : bus_(bus) {
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
           GDBusMethodInvocation* invocation, void* self) {
          ++static_cast<CountingWatcher*>(self)->registrations;
          g_dbus_method_invocation_return_value(invocation, nullptr);
        },
        nullptr,
        nullptr,
        {}};
    objectId_ = g_dbus_connection_register_object(
        bus_, "/StatusNotifierWatcher", watcherInterface(), &vtable, this, nullptr, nullptr);
    ownerId_ = g_bus_own_name_on_connection(bus_, "org.kde.StatusNotifierWatcher",
                                            G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr,
                                            nullptr);
  }
  CountingWatcher(const CountingWatcher&) = delete;
  CountingWatcher& operator=(const CountingWatcher&) = delete;
  ~CountingWatcher() {
    if (ownerId_) g_bus_unown_name(ownerId_);
    if (objectId_) g_dbus_connection_unregister_object(bus_, objectId_);
  }
  int registrations = 0;

 private:
  GDBusConnection* bus_;
  unsigned objectId_ = 0, ownerId_ = 0;
};

}  // namespace testing_support
