#include "platform/linux/tray/TrayMenu.h"

#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

namespace platform::linux_backend {

TrayMenu::TrayMenu(std::function<void()> restart, std::function<void()> quit)
    : restart_(std::move(restart)),
      quit_(std::move(quit)),
      server_(dbusmenu_server_new(kObjectPath)),
      root_(dbusmenu_menuitem_new_with_id(0)) {
  const char* labels[] = {"Restart", "Quit"};
  for (int i = 0; i < 2; ++i) {
    entries_[i] = dbusmenu_menuitem_new_with_id(i == 0 ? kRestart : kQuit);
    dbusmenu_menuitem_property_set(entries_[i], DBUSMENU_MENUITEM_PROP_LABEL, labels[i]);
    dbusmenu_menuitem_child_append(root_, entries_[i]);
    handlers_[i] = g_signal_connect(entries_[i], DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED,
                                    G_CALLBACK(onActivated), this);
  }
  dbusmenu_server_set_root(server_, root_);
}

TrayMenu::~TrayMenu() {
  // An event the server has queued for a later pass may still arrive: it must find no handler.
  for (int i = 0; i < 2; ++i) {
    g_signal_handler_disconnect(entries_[i], handlers_[i]);
    g_object_unref(entries_[i]);
  }
  g_object_unref(server_);
  g_object_unref(root_);
}

void TrayMenu::onActivated(DbusmenuMenuitem* item, unsigned, void* data) {
  auto& self = *static_cast<TrayMenu*>(data);
  if (dbusmenu_menuitem_get_id(item) == kRestart) {
    if (self.restart_) self.restart_();
  } else if (dbusmenu_menuitem_get_id(item) == kQuit) {
    if (self.quit_) self.quit_();
  }
}

}  // namespace platform::linux_backend
