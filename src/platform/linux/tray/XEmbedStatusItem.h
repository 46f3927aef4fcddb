// XEmbedStatusItem.h: the item as an icon in a system tray of the older XEmbed kind (the
// freedesktop System Tray Protocol: tint2, i3bar, stalonetray, IceWM, Fluxbox, ...). The tray
// owns the selection _NET_SYSTEM_TRAY_S<screen>; the item asks it to dock a small window of
// its own, which the tray then holds as a child of its panel.
//
// What the tray shows of it:
//   - the icon of the StatusNotifierItem (TrayIcon.h), drawn at the size the tray gives it;
//     in the tray's ARGB visual where it offers one (the badge's corners and the blink's hidden
//     frames are see-through), else over the tray's own background (ParentRelative);
//   - blinking: the hidden frame is the icon's square left empty, so the tray keeps its place;
//   - a left click is a click, a second one within 400 ms a double-click; a right click opens
//     a small menu, "Restart" and "Quit" (XEmbedMenu.h);
//   - a tooltip with the whole title, after the pointer has rested on the icon a moment.
// Missing: no label beside the icon; colour reaches the icon only.
//
// Nothing here waits for the X server or the tray: requests that answer are collected from the
// loop (XConnection.h), and a frame is drawn only once the server has taken the one before, so
// a stalled server costs one frame of memory, never a blocked write.
#pragma once

#include <xcb/render.h>
#include <xcb/xcb.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ClickSequence.h"
#include "platform/StatusItem.h"
#include "platform/linux/tray/TrayIcon.h"
#include "platform/linux/tray/XConnection.h"
#include "platform/linux/tray/XEmbedMenu.h"

namespace platform::linux_backend {

struct XEmbedOptions {
  std::function<double()> clock;                   // monotonic seconds, for double-clicks
  std::function<void(std::string_view)> messages;  // one line for the user
  // Whether a tray is there: true when one is found (at start or later; the item docks there),
  // false when there is none (at start, or after one went).
  std::function<void(bool present)> presence;
  // Say once that the item waits for a tray; off where the owner says it for both kinds.
  bool sayWaiting = true;
};

class XEmbedStatusItem final : public StatusItem {
 public:
  // A lost display is connected again at most this often.
  static constexpr unsigned kRetrySeconds = 10;
  // The icon is never drawn larger than this, whatever the tray's window: one frame stays one
  // small request.
  static constexpr int kMaxIconPixels = 128;
  // The window's size before the tray gives it one.
  static constexpr int kInitialSize = 22;
  // How long the pointer rests on the icon before the tooltip shows.
  static constexpr unsigned kTooltipDelayMs = 600;

  // Takes `connection` (connected or still connecting) for its life.
  XEmbedStatusItem(std::unique_ptr<XConnection> connection, XEmbedOptions options);
  ~XEmbedStatusItem() override;
  XEmbedStatusItem(const XEmbedStatusItem&) = delete;
  XEmbedStatusItem& operator=(const XEmbedStatusItem&) = delete;

  void setAttributedTitle(const AttributedString& title) override;
  void setHighlightMode(bool) override {}

  // For tests.
  xcb_window_t window() const { return icon_; }
  xcb_window_t manager() const { return manager_; }
  bool argb() const { return argb_; }
  int iconSize() const;
  const XEmbedMenu* menu() const { return menu_.get(); }
  xcb_window_t tooltip() const { return tooltip_; }
  int framesDrawn() const { return framesDrawn_; }
  XConnection& connection() { return *connection_; }

 private:
  void connected();
  void lost();
  void event(xcb_generic_event_t& event);
  void adoptManager(xcb_window_t manager);
  void dock(xcb_visualid_t visual);
  void destroyIcon();
  void draw();
  void frameTaken();
  void openMenu(int x, int y);
  void press();
  void showTooltip();
  void hideTooltip();
  void drawTooltip();
  static int onRetry(void* self);

  std::unique_ptr<XConnection> connection_;
  XEmbedOptions options_;
  ClickSequence clicks_;

  xcb_window_t manager_ = 0;
  unsigned generation_ = 0;  // of the manager: a reply for an earlier one is dropped
  xcb_window_t icon_ = 0;
  bool argb_ = false;
  xcb_colormap_t colormap_ = 0;
  xcb_gcontext_t gc_ = 0;  // on the icon (ARGB) or on pixmap_ (32 bits, for RENDER)
  xcb_pixmap_t pixmap_ = 0;
  int pixmapSize_ = 0;
  xcb_render_picture_t source_ = 0, target_ = 0;
  int width_ = kInitialSize, height_ = kInitialSize;

  bool hasTitle_ = false;
  TrayIconFace face_;
  TrayImage image_;
  TrayIconFace imageFace_;
  bool frameInFlight_ = false;
  bool frameWanted_ = false;
  int framesDrawn_ = 0;

  std::string text_;  // the whole title, for the tooltip
  xcb_window_t tooltip_ = 0;
  xcb_gcontext_t tooltipGc_ = 0;
  guint tooltipTimer_ = 0;
  int pointerX_ = 0, pointerY_ = 0;  // where the pointer entered, on the root window

  std::unique_ptr<XEmbedMenu> menu_;
  guint menuReaper_ = 0;
  guint retry_ = 0;
  bool saidWaiting_ = false;
  bool saidLost_ = false;
};

}  // namespace platform::linux_backend
