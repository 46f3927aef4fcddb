#include "platform/linux/tray/XEmbedMenu.h"

#include <algorithm>
#include <cstring>

#include "platform/linux/tray/TrayIcon.h"

namespace platform::linux_backend {

namespace {

std::vector<std::string> labels() { return {XEmbedMenu::kLabels[0], XEmbedMenu::kLabels[1]}; }

}  // namespace

XEmbedMenu::XEmbedMenu(XConnection& connection, int x, int y, std::function<void(Entry)> chosen,
                       std::function<void()> closed)
    : connection_(connection), chosen_(std::move(chosen)), closed_(std::move(closed)) {
  if (!connection_.connected()) return;
  const XSetup& s = connection_.setup();
  xcb_connection_t* c = connection_.get();
  const MenuImage image = renderMenu(labels(), -1);
  width_ = image.width;
  entryHeight_ = image.entryHeight;
  const int height = image.height;
  // Just off the pointer, so that the release of the button that opened it chooses nothing;
  // flipped where it would leave the screen.
  x_ = x + 1;
  y_ = y + 1;
  if (x_ + width_ > s.screenWidth) x_ = std::max(0, x - width_ - 1);
  if (y_ + height > s.screenHeight) y_ = std::max(0, y - height - 1);

  window_ = xcb_generate_id(c);
  const std::uint32_t values[] = {
      0x808080, 1,
      XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
          XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_LEAVE_WINDOW};
  xcb_create_window(c, s.rootDepth, window_, s.root, static_cast<std::int16_t>(x_),
                    static_cast<std::int16_t>(y_), static_cast<std::uint16_t>(width_),
                    static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    s.rootVisual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                    values);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, s.atoms.windowType, XCB_ATOM_ATOM, 32, 1,
                      &s.atoms.typeMenu);
  static constexpr char kClass[] = "sitting-timer-menu\0Sitting Timer";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, s.atoms.wmClass, XCB_ATOM_STRING, 8,
                      sizeof kClass, kClass);
  gc_ = xcb_generate_id(c);
  xcb_create_gc(c, gc_, window_, 0, nullptr);
  xcb_map_window(c, window_);
  // Mapped first: a grab needs a viewable window. Owner events off, so that every press lands
  // here, inside or outside, in the menu's own coordinates. A grab refused (another client
  // holds one) leaves the menu working by pointer within it.
  xcb_grab_pointer(
      c, 0, window_,
      XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_POINTER_MOTION,
      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME);
  xcb_grab_keyboard(c, 0, window_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
  connection_.flush();
}

XEmbedMenu::~XEmbedMenu() {
  if (window_ && connection_.connected()) {
    xcb_connection_t* c = connection_.get();
    xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    xcb_free_gc(c, gc_);
    xcb_destroy_window(c, window_);
    connection_.flush();
  }
}

void XEmbedMenu::draw() {
  if (!window_ || !connection_.connected()) return;
  const MenuImage image = renderMenu(labels(), highlighted_);
  std::vector<std::uint32_t> pixels = image.pixels;
  if (connection_.setup().swapBytes) {
    for (std::uint32_t& p : pixels) p = __builtin_bswap32(p);
  }
  // A menu of two rows is a few KiB, well within one request.
  xcb_put_image(connection_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, window_, gc_,
                static_cast<std::uint16_t>(image.width), static_cast<std::uint16_t>(image.height),
                0, 0, 0, connection_.setup().rootDepth,
                static_cast<std::uint32_t>(pixels.size() * 4),
                reinterpret_cast<const std::uint8_t*>(pixels.data()));
  connection_.flush();
}

int XEmbedMenu::entryAt(int x, int y) const {
  if (x < 0 || x >= width_ || y < 1) return -1;
  const int entry = (y - 1) / entryHeight_;
  return entry < 2 ? entry : -1;
}

void XEmbedMenu::handle(const xcb_generic_event_t& event) {
  if (!window_) return;
  switch (event.response_type & 0x7f) {
    case XCB_EXPOSE:
      if (reinterpret_cast<const xcb_expose_event_t&>(event).count == 0) draw();
      break;
    case XCB_MOTION_NOTIFY: {
      const auto& e = reinterpret_cast<const xcb_motion_notify_event_t&>(event);
      const int entry = entryAt(e.event_x, e.event_y);
      if (entry != highlighted_) {
        highlighted_ = entry;
        draw();
      }
      break;
    }
    case XCB_LEAVE_NOTIFY:
      if (highlighted_ != -1) {
        highlighted_ = -1;
        draw();
      }
      break;
    case XCB_BUTTON_PRESS: {
      const auto& e = reinterpret_cast<const xcb_button_press_event_t&>(event);
      if (e.event != window_ || entryAt(e.event_x, e.event_y) < 0) {
        // Only a press inside counts for choosing; one outside closes, as menus do. Wheel
        // buttons too: the menu is not scrolled.
        const bool inside = e.event == window_ && e.event_x >= 0 && e.event_x < width_ &&
                            e.event_y >= 0 && e.event_y < entryHeight_ * 2 + 2;
        if (!inside) close();
      }
      break;
    }
    case XCB_BUTTON_RELEASE: {
      const auto& e = reinterpret_cast<const xcb_button_release_event_t&>(event);
      if (e.event == window_) {
        const int entry = entryAt(e.event_x, e.event_y);
        if (entry >= 0) choose(entry);
      }
      break;
    }
    case XCB_KEY_PRESS: {
      const auto& e = reinterpret_cast<const xcb_key_press_event_t&>(event);
      switch (connection_.setup().key(e.detail)) {
        case MenuKey::escape:
          close();
          break;
        case MenuKey::enter:
          if (highlighted_ >= 0) choose(highlighted_);
          break;
        case MenuKey::down:
          highlighted_ = highlighted_ < 0 ? 0 : (highlighted_ + 1) % 2;
          draw();
          break;
        case MenuKey::up:
          highlighted_ = highlighted_ <= 0 ? 1 : highlighted_ - 1;
          draw();
          break;
        case MenuKey::none:
          break;
      }
      break;
    }
    default:
      break;
  }
}

void XEmbedMenu::close() {
  if (!window_) return;
  if (connection_.connected()) {
    xcb_connection_t* c = connection_.get();
    xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    xcb_free_gc(c, gc_);
    xcb_destroy_window(c, window_);
    connection_.flush();
  }
  window_ = 0;
  if (closed_) closed_();
}

void XEmbedMenu::choose(int entry) {
  close();
  if (chosen_) chosen_(static_cast<Entry>(entry));
}

}  // namespace platform::linux_backend
