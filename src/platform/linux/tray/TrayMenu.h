// TrayMenu.h: the item's menu, "Restart" and "Quit", as a com.canonical.dbusmenu object. Some
// hosts never send a click (the Ayatana indicators) and GNOME's AppIndicator extension opens
// the menu on a single click, so there the menu is the only way to restart and to quit.
//
// libdbusmenu-glib serves the whole interface hosts use: GetLayout and GetGroupProperties,
// AboutToShow and AboutToShowGroup, Event and EventGroup (xfce sends only the group calls,
// lxqt-panel and GNOME only the single ones), with a layout typed as hosts expect.
#pragma once

#include <functional>

typedef struct _DbusmenuServer DbusmenuServer;
typedef struct _DbusmenuMenuitem DbusmenuMenuitem;

namespace platform::linux_backend {

class TrayMenu {
 public:
  static constexpr const char* kObjectPath = "/MenuBar";
  enum Entry { kRestart = 1, kQuit = 2 };  // the entries' ids in the layout

  // Exported on the process's session bus connection, the one the item is on: hosts call the
  // menu at the item's own bus name.
  TrayMenu(std::function<void()> restart, std::function<void()> quit);
  ~TrayMenu();
  TrayMenu(const TrayMenu&) = delete;
  TrayMenu& operator=(const TrayMenu&) = delete;

 private:
  static void onActivated(DbusmenuMenuitem* item, unsigned timestamp, void* self);

  std::function<void()> restart_;
  std::function<void()> quit_;
  DbusmenuServer* server_;
  DbusmenuMenuitem* root_;
  DbusmenuMenuitem* entries_[2];
  unsigned long handlers_[2];
};

}  // namespace platform::linux_backend
