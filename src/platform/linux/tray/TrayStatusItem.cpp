#include "platform/linux/tray/TrayStatusItem.h"

#include <unistd.h>

namespace platform::linux_backend {

namespace {

constexpr const char* kInterface = "org.kde.StatusNotifierItem";

// The properties and signals hosts read: the KDE set plus the Ayatana label.
constexpr const char* kIntrospection = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="IconAccessibleDesc" type="s" access="read"/>
    <property name="AttentionAccessibleDesc" type="s" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="XAyatanaLabel" type="s" access="read"/>
    <property name="XAyatanaLabelGuide" type="s" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
    <signal name="XAyatanaNewLabel"><arg name="label" type="s"/><arg name="guide" type="s"/></signal>
  </interface>
</node>)xml";

GDBusInterfaceInfo* interfaceInfo() {
  // Parsed once and kept for the life of the process, like GDBus's own generated code does.
  static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  return node->interfaces[0];
}

GVariant* pixmapArray(const std::vector<TrayPixmap>& pixmaps) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
  for (const TrayPixmap& p : pixmaps) {
    GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, p.argb.data(), p.argb.size(),
                                                sizeof(std::uint8_t));
    g_variant_builder_add(&builder, "(ii@ay)", p.width, p.height, bytes);
  }
  return g_variant_ref_sink(g_variant_builder_end(&builder));
}

GVariant* emptyPixmaps() { return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0); }

}  // namespace

TrayStatusItem::TrayStatusItem(GDBusConnection* bus, int serial, Clock clock, Messages messages,
                               Presence presence)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))),
      clock_(std::move(clock)),
      messages_(std::move(messages)),
      presence_(std::move(presence)),
      menu_(std::make_unique<TrayMenu>([this] { sendAction(); }, [this] { sendDoubleAction(); })),
      cancellable_(g_cancellable_new()),
      serial_(serial) {
  hiddenIcon_ =
      pixmapArray(renderTrayIcon({.text = "", .color = {0, 0, 0, 0}, .transparent = true}));

  static const GDBusInterfaceVTable vtable = {onMethodCall, onGetProperty, nullptr, {}};
  GError* error = nullptr;
  objectId_ = g_dbus_connection_register_object(bus_, kObjectPath, interfaceInfo(), &vtable, this,
                                                nullptr, &error);
  if (!objectId_) {
    messages_(std::string("sitting-timer: tray: cannot export the item: ") + error->message);
    g_error_free(error);
  }
  requestName();
  watchId_ = g_bus_watch_name_on_connection(bus_, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                            onWatcherAppeared, onWatcherVanished, this, nullptr);
}

TrayStatusItem::~TrayStatusItem() {
  // Replies still on their way must find nobody to call.
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  if (retrySource_) g_source_remove(retrySource_);
  if (vanishSource_) g_source_remove(vanishSource_);
  g_bus_unwatch_name(watchId_);
  if (nameOwned_) {
    // Sent, not waited for; the name would go with the connection anyway.
    g_dbus_connection_call(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ReleaseName",
                           g_variant_new("(s)", busName_.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE,
                           -1, nullptr, nullptr, nullptr);
  }
  if (objectId_) g_dbus_connection_unregister_object(bus_, objectId_);
  menu_.reset();
  if (visibleIcon_) g_variant_unref(visibleIcon_);
  g_variant_unref(hiddenIcon_);
  g_object_unref(bus_);
}

void TrayStatusItem::setAttributedTitle(const AttributedString& title) {
  const bool first = !hasTitle_;
  hasTitle_ = true;

  const TrayIconFace face = trayIconFace(title);
  if (!face.transparent && (!visibleIcon_ || face != face_)) {
    // Drawn only when the face changes: once a minute at most, never for a blink frame.
    if (visibleIcon_) g_variant_unref(visibleIcon_);
    visibleIcon_ = pixmapArray(renderTrayIcon(face));
  }
  const bool iconChanged = face != face_;
  face_ = face;

  const bool toolTipChanged = title.string() != toolTip_;
  toolTip_ = title.string();

  std::string label = title.string();
  if (face.transparent) {
    if (blankFor_ != title.string()) {
      blank_ = blankOfWidth(title.string());
      blankFor_ = title.string();
    }
    label = blank_;
  }
  const bool labelChanged = label != label_ || title.string() != guide_;
  label_ = std::move(label);
  guide_ = title.string();

  if (first) {
    registerWithWatcher();
    return;  // the host reads every property on registration
  }
  // Hosts read the property again on each signal, so a signal for an unchanged property costs
  // every host a round trip and a redraw.
  if (iconChanged) emit("NewIcon", nullptr);
  if (toolTipChanged) emit("NewToolTip", nullptr);
  if (labelChanged) {
    emit("XAyatanaNewLabel", g_variant_new("(ss)", label_.c_str(), guide_.c_str()));
  }
}

void TrayStatusItem::emit(const char* signal, GVariant* parameters) {
  // Queued on the connection, never waited for.
  g_dbus_connection_emit_signal(bus_, nullptr, kObjectPath, kInterface, signal, parameters,
                                nullptr);
}

GVariant* TrayStatusItem::iconProperty() const {
  if (face_.transparent) return g_variant_ref(hiddenIcon_);
  if (visibleIcon_) return g_variant_ref(visibleIcon_);
  return emptyPixmaps();
}

GVariant* TrayStatusItem::onGetProperty(GDBusConnection*, const char*, const char*, const char*,
                                        const char* property, GError** error, void* data) {
  auto& self = *static_cast<TrayStatusItem*>(data);
  const std::string_view name = property;
  if (name == "Category") return g_variant_new_string("ApplicationStatus");
  if (name == "Id") return g_variant_new_string("sitting-timer");
  if (name == "Title") return g_variant_new_string("Time Sitting");
  if (name == "Status") return g_variant_new_string("Active");
  if (name == "WindowId") return g_variant_new_int32(0);
  if (name == "IconPixmap") return self.iconProperty();
  if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap") return emptyPixmaps();
  if (name == "IconName" || name == "IconThemePath" || name == "OverlayIconName" ||
      name == "AttentionIconName" || name == "AttentionMovieName") {
    return g_variant_new_string("");
  }
  if (name == "ToolTip") {
    return g_variant_new("(s@a(iiay)ss)", "", emptyPixmaps(), self.toolTip_.c_str(), "");
  }
  // What a screen reader says for the icon: the whole title, as the tooltip shows it. Hosts
  // read it again on NewIcon, which every change of the title brings.
  if (name == "IconAccessibleDesc") return g_variant_new_string(self.toolTip_.c_str());
  if (name == "AttentionAccessibleDesc") return g_variant_new_string("");
  if (name == "ItemIsMenu") return g_variant_new_boolean(FALSE);
  if (name == "Menu") return g_variant_new_object_path(TrayMenu::kObjectPath);
  if (name == "XAyatanaLabel") return g_variant_new_string(self.label_.c_str());
  if (name == "XAyatanaLabelGuide") return g_variant_new_string(self.guide_.c_str());
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", property);
  return nullptr;
}

void TrayStatusItem::onMethodCall(GDBusConnection*, const char*, const char*, const char*,
                                  const char* method, GVariant*, GDBusMethodInvocation* invocation,
                                  void* data) {
  auto& self = *static_cast<TrayStatusItem*>(data);
  const std::string_view name = method;
  // Answer first: the action runs a whole tick, and a host may wait for the reply.
  g_dbus_method_invocation_return_value(invocation, nullptr);
  if (name == "Activate") {
    self.press();
  } else if (name == "SecondaryActivate") {
    self.sendAction();
  }
  // ContextMenu: hosts that read Menu show it themselves. Scroll: nothing to scroll.
}

void TrayStatusItem::press() {
  if (clicks_.press(clock_()) == ClickSequence::Kind::click) {
    sendAction();
  } else {
    sendDoubleAction();
  }
}

void TrayStatusItem::requestName() {
  // Serial, serial + 100, ...: IDs that this process's other items never take.
  busName_ = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" +
             std::to_string(serial_ + 100 * nameTries_);
  ++nameTries_;
  // Asked directly rather than through g_bus_own_name, which warns on releasing a name it
  // never got. Without a queue and without allowing replacement, an owned name stays ours.
  constexpr guint32 kDoNotQueue = 4;
  g_dbus_connection_call(
      bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", busName_.c_str(), kDoNotQueue), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, cancellable_, onNameRequested, this);
}

void TrayStatusItem::onNameRequested(GObject* bus, GAsyncResult* result, void* data) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    g_error_free(error);
    return;  // the item is gone
  }
  auto& self = *static_cast<TrayStatusItem*>(data);
  guint32 answer = 0;
  if (reply) {
    g_variant_get(reply, "(u)", &answer);
    g_variant_unref(reply);
  }
  if (error) g_error_free(error);
  constexpr guint32 kPrimaryOwner = 1, kAlreadyOwner = 4;
  if (answer == kPrimaryOwner || answer == kAlreadyOwner) {
    self.nameOwned_ = true;
  } else if (self.nameTries_ < kNameTries && !g_dbus_connection_is_closed(self.bus_)) {
    // Another process holds it (a stale item of a recycled pid, or one squatting the name).
    self.requestName();
    return;
  } else {
    // Registration is by object path, which the watcher pairs with the unique name: the
    // well-known name is a courtesy to hosts that look for it, not a condition.
    // (Also where the bus's policy lets no one own such names, as in some sandboxes.)
    const char* unique = g_dbus_connection_get_unique_name(self.bus_);
    self.busName_ = unique ? unique : "";
  }
  self.nameSettled_ = true;
  self.registerWithWatcher();
}

void TrayStatusItem::onWatcherAppeared(GDBusConnection*, const char*, const char*, void* data) {
  auto& self = *static_cast<TrayStatusItem*>(data);
  self.watcherPresent_ = true;
  if (self.presence_) self.presence_(true);
  // A new watcher (a panel started or restarted) knows nothing of the item.
  self.registerWithWatcher();
}

void TrayStatusItem::onWatcherVanished(GDBusConnection*, const char*, void* data) {
  auto& self = *static_cast<TrayStatusItem*>(data);
  const bool wasPresent = self.watcherPresent_;
  self.watcherPresent_ = false;
  if (self.retrySource_) {
    g_source_remove(self.retrySource_);
    self.retrySource_ = 0;
  }
  if (!self.presence_ || self.vanishSource_) return;
  if (!wasPresent) {
    // None at start: nothing to wait for.
    if (!g_dbus_connection_is_closed(self.bus_)) self.presence_(false);
    return;
  }
  // A daemon shutting down tells the watchers' departure before it closes our own connection:
  // the bar then says the bus closed, and a "waiting for a tray" just before it would be
  // wrong. The close follows within milliseconds; a panel restart takes a second or more.
  self.vanishSource_ = g_timeout_add(kVanishSettleMs, onVanishSettled, &self);
}

int TrayStatusItem::onVanishSettled(void* data) {
  auto& self = *static_cast<TrayStatusItem*>(data);
  self.vanishSource_ = 0;
  if (!self.watcherPresent_ && !g_dbus_connection_is_closed(self.bus_)) self.presence_(false);
  return G_SOURCE_REMOVE;
}

void TrayStatusItem::registerWithWatcher() {
  if (!hasTitle_ || !nameSettled_ || !watcherPresent_) return;
  // By object path, which the watcher pairs with our unique name, as libappindicator does.
  // Given the well-known name instead, GNOME's AppIndicator extension watches that name, drops
  // the item's Id and Menu when it sees the owner, and then fails to read them back (a race
  // measured at about one start in two), so the item never shows. The well-known name stays
  // ours for hosts that look for items by name.
  g_dbus_connection_call(bus_, kWatcherName, kWatcherPath, kWatcherName,
                         "RegisterStatusNotifierItem", g_variant_new("(s)", kObjectPath), nullptr,
                         G_DBUS_CALL_FLAGS_NONE, -1, cancellable_, onRegistered, this);
}

void TrayStatusItem::onRegistered(GObject* bus, GAsyncResult* result, void* data) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
  if (reply) {
    g_variant_unref(reply);
    static_cast<TrayStatusItem*>(data)->saidRegisterFailure_ = false;
    return;
  }
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
      g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED)) {
    g_error_free(error);
    return;  // the item is gone, or the bus, which the bar reports
  }
  auto& self = *static_cast<TrayStatusItem*>(data);
  if (!self.watcherPresent_) {
    // The watcher went while the call was on its way (a panel restarting): no refusal, and
    // the next watcher gets the item from the name watch.
    g_error_free(error);
    return;
  }
  if (!self.saidRegisterFailure_) {
    self.saidRegisterFailure_ = true;
    self.messages_(std::string("sitting-timer: tray: the tray did not take the item (") +
                   error->message + "); trying again every " + std::to_string(kRetrySeconds) +
                   " s");
  }
  g_error_free(error);
  if (!self.retrySource_) {
    self.retrySource_ = g_timeout_add_seconds(kRetrySeconds, onRetry, &self);
  }
}

int TrayStatusItem::onRetry(void* data) {
  auto& self = *static_cast<TrayStatusItem*>(data);
  self.retrySource_ = 0;
  self.registerWithWatcher();
  return G_SOURCE_REMOVE;
}

}  // namespace platform::linux_backend
