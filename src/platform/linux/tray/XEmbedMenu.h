// XEmbedMenu.h: the XEmbed item's popup menu, "Restart" and "Quit": an override-redirect
// window drawn with PangoCairo, holding the pointer and keyboard while open. A click outside it
// or Escape closes it; a click on an entry, or Up/Down and Return, chooses one.
#pragma once

#include <xcb/xcb.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/linux/tray/XConnection.h"

namespace platform::linux_backend {

class XEmbedMenu {
 public:
  enum Entry { kRestart = 0, kQuit = 1 };
  static constexpr const char* kLabels[] = {"Restart", "Quit"};

  // Opens at the pointer's place on the root window (`x`, `y`), kept on the screen. `chosen`
  // is called with the entry after the menu has closed; `closed` whenever it closes, chosen or
  // not, so that the owner can let it go (from the loop, not from within this call).
  XEmbedMenu(XConnection& connection, int x, int y, std::function<void(Entry)> chosen,
             std::function<void()> closed);
  ~XEmbedMenu();
  XEmbedMenu(const XEmbedMenu&) = delete;
  XEmbedMenu& operator=(const XEmbedMenu&) = delete;

  xcb_window_t window() const { return window_; }
  bool open() const { return window_ != 0; }
  // An event for the menu's window (with its grabs, every pointer and key event is).
  void handle(const xcb_generic_event_t& event);

  // The entries' boxes on the screen, for tests: entry i spans y() + i * entryHeight().
  int x() const { return x_; }
  int y() const { return y_; }
  int width() const { return width_; }
  int entryHeight() const { return entryHeight_; }
  int highlighted() const { return highlighted_; }

 private:
  void draw();
  void close();
  void choose(int entry);
  int entryAt(int x, int y) const;

  XConnection& connection_;
  std::function<void(Entry)> chosen_;
  std::function<void()> closed_;
  xcb_window_t window_ = 0;
  xcb_gcontext_t gc_ = 0;
  int x_ = 0, y_ = 0, width_ = 0, entryHeight_ = 0;
  int highlighted_ = -1;
  std::vector<std::uint32_t> pixels_;
};

}  // namespace platform::linux_backend
