#include "platform/linux/tray/XEmbedStatusBar.h"

#include <cstdlib>

#include "platform/Application.h"
#include "platform/linux/StandardError.h"

namespace platform::linux_backend {

namespace {

// Start-up waits, before the loop runs.
constexpr double kDisplaySeconds = 2.0;
constexpr double kBusSeconds = 3.0;
constexpr int kWatcherQueryMs = 2000;

void toStandardError(std::string_view line) { writeStandardError(std::string(line) + "\n"); }

bool isSet(const char* variable) {
  const char* value = std::getenv(variable);
  return value && *value;
}

XEmbedOptions xembedOptions(const TrayOptions& tray) {
  return {.clock = tray.clock, .messages = tray.messages, .presence = {}, .sayWaiting = true};
}

std::string desktopName() {
  const char* name = g_getenv("XDG_CURRENT_DESKTOP");
  return name ? name : "";
}

TrayOptions programOptions() {
  return {.clock = &GLibRunLoop::monotonicNow,
          .messages = toStandardError,
          .onBusLost = [] { NSApp().terminate(); },
          .desktop = desktopName()};
}

// The display, waited for at most kDisplaySeconds; null saying why.
std::unique_ptr<XConnection> connectDisplay(std::string& whyNot) {
  if (!isSet("DISPLAY")) {
    whyNot = "DISPLAY is not set";
    return nullptr;
  }
  auto connection = std::make_unique<XConnection>("");
  if (!connection->waitConnected(kDisplaySeconds, whyNot)) return nullptr;
  return connection;
}

std::string noManager(const XConnection& connection) {
  return "no system tray on display " + connection.displayName() + " (no owner of " +
         "_NET_SYSTEM_TRAY_S" + std::to_string(connection.setup().screenNumber) + ")";
}

}  // namespace

XEmbedStatusBar::XEmbedStatusBar(std::unique_ptr<XConnection> connection, XEmbedOptions options)
    : connection_(std::move(connection)), options_(std::move(options)) {
  if (!options_.messages) options_.messages = toStandardError;
  // The icon is drawn in the fonts the StatusNotifierItem's is; a broken setup is said once.
  if (const std::string& problem = trayFontProblem(); !problem.empty()) {
    options_.messages("sitting-timer: xembed: " + problem);
  }
}

std::unique_ptr<StatusItem> XEmbedStatusBar::statusItemWithLength(double) {
  auto connection = connection_ ? std::move(connection_) : std::make_unique<XConnection>("");
  return std::make_unique<XEmbedStatusItem>(std::move(connection), options_);
}

void XEmbedStatusBar::writeMessageLine(std::string_view line) { options_.messages(line); }

std::unique_ptr<StatusBar> connectXEmbed(LinuxContext& context, std::string& whyNot) {
  auto connection = connectDisplay(whyNot);
  if (!connection) return nullptr;
  // Chosen by name, the item waits for a tray, as a panel may start after it.
  if (!context.chosenByName && !connection->setup().managerAtConnect) {
    whyNot = noManager(*connection);
    return nullptr;
  }
  return std::make_unique<XEmbedStatusBar>(std::move(connection), xembedOptions(programOptions()));
}

std::unique_ptr<StatusBar> connectAnyTray(LinuxContext& context, std::string& whyNot) {
  // The StatusNotifierItem first: it shows more (tooltip, a label where the host has one), and
  // panels holding both kinds (xfce) show it the same.
  std::string busWhy;
  GDBusConnection* bus = nullptr;
  if (probeTray(context).empty()) {
    bus = connectSessionBus(kBusSeconds, busWhy);
  } else {
    busWhy = probeTray(context);
  }
  if (bus && hasWatcher(bus, kWatcherQueryMs, busWhy)) {
    auto bar = std::make_unique<TrayStatusBar>(bus, programOptions());
    g_object_unref(bus);
    return bar;
  }
  std::string displayWhy;
  std::unique_ptr<XConnection> display = connectDisplay(displayWhy);
  if (display && display->setup().managerAtConnect) {
    if (bus) g_object_unref(bus);
    return std::make_unique<XEmbedStatusBar>(std::move(display), xembedOptions(programOptions()));
  }
  if (display) displayWhy = noManager(*display);
  if (context.chosenByName) {
    // Nothing there yet: wait for whichever kind can still come.
    std::unique_ptr<StatusBar> bar;
    if (bus && display) {
      bar = std::make_unique<EitherTrayStatusBar>(bus, std::move(display), programOptions());
    } else if (bus) {
      bar = std::make_unique<TrayStatusBar>(bus, programOptions());
    } else if (display) {
      bar = std::make_unique<XEmbedStatusBar>(std::move(display), xembedOptions(programOptions()));
    }
    if (bus) g_object_unref(bus);
    if (bar) return bar;
  } else if (bus) {
    g_object_unref(bus);
  }
  whyNot = busWhy + "; " + displayWhy;
  return nullptr;
}

// ---------------------------------------------------------------------------------------------

EitherTrayStatusItem::EitherTrayStatusItem(GDBusConnection* bus, int serial,
                                           std::unique_ptr<XConnection> connection,
                                           TrayOptions options)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))),
      serial_(serial),
      options_(std::move(options)),
      notice_(std::make_shared<NoTrayNotice>(bus_, options_.desktop, options_.messages,
                                             options_.noTrayGraceMs)) {
  const std::string display = connection->displayName();
  // Said at once; told in a notification too if neither kind of tray comes within the grace.
  notice_->start(
      "sitting-timer: tray: waiting for a tray (no org.kde.StatusNotifierWatcher on the session "
      "bus, no system tray on display " +
      display + ")");
  XEmbedOptions xembed = xembedOptions(options_);
  xembed.sayWaiting = false;
  xembed.presence = [this, display](bool present) {
    if (present) {
      takeXEmbed();
      notice_->trayAppeared();
    } else if (tookXEmbed_) {
      notice_->start("sitting-timer: tray: waiting for a tray (no system tray on display " +
                     display + ")");
    }
  };
  xembed_ = std::make_unique<XEmbedStatusItem>(std::move(connection), std::move(xembed));
  forward(*xembed_);
  if (tookXEmbed_) {
    chosen_ = xembed_.get();
  } else {
    watchId_ = g_bus_watch_name_on_connection(bus_, TrayStatusItem::kWatcherName,
                                              G_BUS_NAME_WATCHER_FLAGS_NONE, onWatcherAppeared,
                                              nullptr, this, nullptr);
  }
}

EitherTrayStatusItem::~EitherTrayStatusItem() {
  if (unwatchLater_) g_source_remove(unwatchLater_);
  if (watchId_) g_bus_unwatch_name(watchId_);
  sni_.reset();
  xembed_.reset();
  g_object_unref(bus_);
}

void EitherTrayStatusItem::forward(StatusItem& item) {
  item.setAction([this] { sendAction(); });
  item.setDoubleAction([this] { sendDoubleAction(); });
}

void EitherTrayStatusItem::setAttributedTitle(const AttributedString& title) {
  hasTitle_ = true;
  title_ = title;
  if (sni_) sni_->setAttributedTitle(title);
  if (xembed_) xembed_->setAttributedTitle(title);
}

void EitherTrayStatusItem::takeXEmbed() {
  if (chosen_ || tookXEmbed_) return;
  tookXEmbed_ = true;
  chosen_ = xembed_.get();  // null while the item is still being made
  // Called from the X side's event handling: the name watch is let go from the loop.
  if (watchId_ && !unwatchLater_) {
    unwatchLater_ = g_idle_add(
        [](void* data) -> int {
          auto& self = *static_cast<EitherTrayStatusItem*>(data);
          self.unwatchLater_ = 0;
          if (self.watchId_) g_bus_unwatch_name(self.watchId_);
          self.watchId_ = 0;
          return G_SOURCE_REMOVE;
        },
        this);
  }
}

void EitherTrayStatusItem::onWatcherAppeared(GDBusConnection*, const char*, const char*,
                                             void* data) {
  auto& self = *static_cast<EitherTrayStatusItem*>(data);
  if (self.chosen_ || self.tookXEmbed_) return;
  self.xembed_.reset();
  self.notice_->trayAppeared();
  self.sni_ =
      std::make_unique<TrayStatusItem>(self.bus_, self.serial_, self.options_.clock,
                                       self.options_.messages, watcherPresence(self.notice_));
  self.chosen_ = self.sni_.get();
  self.forward(*self.sni_);
  if (self.hasTitle_) self.sni_->setAttributedTitle(self.title_);
}

// ---------------------------------------------------------------------------------------------

EitherTrayStatusBar::EitherTrayStatusBar(GDBusConnection* bus,
                                         std::unique_ptr<XConnection> connection,
                                         TrayOptions options)
    : sni_(bus, options),
      bus_(G_DBUS_CONNECTION(g_object_ref(bus))),
      connection_(std::move(connection)),
      options_(std::move(options)) {
  if (!options_.messages) options_.messages = toStandardError;
}

EitherTrayStatusBar::~EitherTrayStatusBar() { g_object_unref(bus_); }

std::unique_ptr<StatusItem> EitherTrayStatusBar::statusItemWithLength(double) {
  auto connection = connection_ ? std::move(connection_) : std::make_unique<XConnection>("");
  return std::make_unique<EitherTrayStatusItem>(bus_, ++items_, std::move(connection), options_);
}

void EitherTrayStatusBar::writeMessageLine(std::string_view line) { options_.messages(line); }

}  // namespace platform::linux_backend
