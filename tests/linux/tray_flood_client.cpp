// A hostile caller for tray_flood_test.cpp: as many property and menu calls to one item as it
// can send, either reading the answers (each call given up after 3 s), never reading them, or
// flagged as expecting none, from one connection or spread over several.
//   tray-flood-client ADDRESS ITEM-NAME COUNT read|unread|noreply [CONNECTIONS [ARGUMENT-BYTES]]
// Prints "sent" once every call is on its way, then, reading, "answered A failed F" and exits;
// not reading, it stops itself with its connection open until it is killed.
#include <gio/gio.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int answered = 0, failed = 0;

GDBusMessage* nthCall(const char* item, int i, const std::string& padding) {
  // What hosts read, the big answers first: every property, the icon alone, the menu's layout.
  GDBusMessage* m = nullptr;
  if (!padding.empty()) {
    // Or a call that carries a large argument, answered with a small error.
    m = g_dbus_message_new_method_call(item, "/StatusNotifierItem",
                                       "org.freedesktop.DBus.Properties", "GetAll");
    g_dbus_message_set_body(m, g_variant_new("(s)", padding.c_str()));
    return m;
  }
  switch (i % 3) {
    case 0:
      m = g_dbus_message_new_method_call(item, "/StatusNotifierItem",
                                         "org.freedesktop.DBus.Properties", "GetAll");
      g_dbus_message_set_body(m, g_variant_new("(s)", "org.kde.StatusNotifierItem"));
      break;
    case 1:
      m = g_dbus_message_new_method_call(item, "/StatusNotifierItem",
                                         "org.freedesktop.DBus.Properties", "Get");
      g_dbus_message_set_body(m, g_variant_new("(ss)", "org.kde.StatusNotifierItem", "IconPixmap"));
      break;
    default:
      m = g_dbus_message_new_method_call(item, "/MenuBar", "com.canonical.dbusmenu", "GetLayout");
      g_dbus_message_set_body(m, g_variant_new_parsed("(0, -1, @as [])"));
  }
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 7) return 2;
  const char* item = argv[2];
  const int count = std::atoi(argv[3]);
  const bool read = std::string(argv[4]) == "read";
  std::vector<GDBusConnection*> buses(argc >= 6 ? std::atoi(argv[5]) : 1);
  const std::string padding(argc >= 7 ? static_cast<std::size_t>(std::atol(argv[6])) : 0, 'x');
  for (GDBusConnection*& bus : buses) {
    GError* error = nullptr;
    bus = g_dbus_connection_new_for_address_sync(
        argv[1],
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus) {
      std::fprintf(stderr, "tray-flood-client: %s\n", error->message);
      return 1;
    }
  }
  for (int i = 0; i < count; ++i) {
    GDBusConnection* bus = buses[static_cast<std::size_t>(i) % buses.size()];
    GDBusMessage* m = nthCall(item, i, padding);
    if (read) {
      g_dbus_connection_send_message_with_reply(
          bus, m, G_DBUS_SEND_MESSAGE_FLAGS_NONE, 3000, nullptr, nullptr,
          [](GObject* source, GAsyncResult* result, void*) {
            GDBusMessage* reply = g_dbus_connection_send_message_with_reply_finish(
                G_DBUS_CONNECTION(source), result, nullptr);
            if (reply &&
                g_dbus_message_get_message_type(reply) == G_DBUS_MESSAGE_TYPE_METHOD_RETURN) {
              ++answered;
            } else {
              ++failed;
            }
            if (reply) g_object_unref(reply);
          },
          nullptr);
    } else {
      if (std::string(argv[4]) == "noreply") {
        g_dbus_message_set_flags(m, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
      }
      g_dbus_connection_send_message(bus, m, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    }
    g_object_unref(m);
  }
  for (GDBusConnection* bus : buses) g_dbus_connection_flush_sync(bus, nullptr, nullptr);
  std::printf("sent\n");
  std::fflush(stdout);
  if (!read) {
    raise(SIGSTOP);
    return 0;
  }
  while (answered + failed < count) g_main_context_iteration(nullptr, TRUE);
  std::printf("answered %d failed %d\n", answered, failed);
  return 0;
}
