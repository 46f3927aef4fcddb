#include "platform/linux/tray/XEmbedStatusItem.h"

#include <algorithm>
#include <cstring>

namespace platform::linux_backend {

namespace {

constexpr std::uint32_t kSystemTrayRequestDock = 0;
constexpr std::uint32_t kXEmbedMapped = 1;

}  // namespace

XEmbedStatusItem::XEmbedStatusItem(std::unique_ptr<XConnection> connection, XEmbedOptions options)
    : connection_(std::move(connection)), options_(std::move(options)) {
  connection_->setHandlers({.connected = [this] { connected(); },
                            .event = [this](xcb_generic_event_t& e) { event(e); },
                            .lost = [this] { lost(); }});
  if (connection_->connected()) {
    connected();
  } else if (!connection_->connecting()) {
    lost();
  }
}

XEmbedStatusItem::~XEmbedStatusItem() {
  if (retry_) g_source_remove(retry_);
  destroyIcon();
  connection_->setHandlers({});
  connection_->flush();
}

int XEmbedStatusItem::iconSize() const {
  return std::clamp(std::min(width_, height_), 1, kMaxIconPixels);
}

void XEmbedStatusItem::connected() {
  saidLost_ = false;
  const XSetup& s = connection_->setup();
  // MANAGER announcements go to the root window's StructureNotify listeners.
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_connection_t* c = connection_->get();
  xcb_change_window_attributes(c, s.root, XCB_CW_EVENT_MASK, &mask);
  adoptManager(s.managerAtConnect);
  // A tray that started between the worker's question and our listening announced itself to
  // nobody: asked again, now that every later announcement reaches us.
  const auto cookie = xcb_get_selection_owner(c, s.atoms.traySelection);
  connection_->onReply(cookie.sequence, [this](void* reply) {
    const xcb_window_t owner =
        reply ? static_cast<xcb_get_selection_owner_reply_t*>(reply)->owner : 0;
    if (owner && owner != manager_) adoptManager(owner);
  });
  connection_->flush();
}

void XEmbedStatusItem::lost() {
  // The connection is gone, and with it every window and grab of ours.
  menu_.reset();
  if (tooltipTimer_) g_source_remove(tooltipTimer_);
  tooltipTimer_ = 0;
  icon_ = colormap_ = gc_ = pixmap_ = source_ = target_ = tooltip_ = tooltipGc_ = 0;
  pixmapSize_ = 0;
  manager_ = 0;
  ++generation_;
  frameInFlight_ = frameWanted_ = false;
  if (!saidLost_) {
    saidLost_ = true;
    options_.messages("sitting-timer: xembed: no connection to X display " +
                      connection_->displayName() + "; trying again every " +
                      std::to_string(kRetrySeconds) + " s");
  }
  if (!retry_) retry_ = g_timeout_add_seconds(kRetrySeconds, onRetry, this);
}

int XEmbedStatusItem::onRetry(void* data) {
  auto& self = *static_cast<XEmbedStatusItem*>(data);
  self.retry_ = 0;
  // A failed attempt comes back through lost(), which waits again.
  if (!self.connection_->connected() && !self.connection_->connecting()) {
    self.connection_->reconnect();
  }
  return G_SOURCE_REMOVE;
}

void XEmbedStatusItem::adoptManager(xcb_window_t manager) {
  destroyIcon();
  ++generation_;
  manager_ = manager;
  if (!manager_) {
    if (options_.presence) options_.presence(false);
    if (options_.sayWaiting && !saidWaiting_) {
      saidWaiting_ = true;
      options_.messages("sitting-timer: xembed: waiting for a tray (no owner of " +
                        std::string("_NET_SYSTEM_TRAY_S") +
                        std::to_string(connection_->setup().screenNumber) + " on display " +
                        connection_->displayName() + ")");
    }
    return;
  }
  if (options_.presence) options_.presence(true);
  xcb_connection_t* c = connection_->get();
  const XSetup& s = connection_->setup();
  // Its end is our cue to leave: the server would otherwise hand our window back to the root,
  // mapped, as a stray square on the screen.
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, manager_, XCB_CW_EVENT_MASK, &mask);
  const unsigned generation = generation_;
  const auto cookie = xcb_get_property(c, 0, manager_, s.atoms.trayVisual, XCB_ATOM_VISUALID, 0, 1);
  connection_->onReply(cookie.sequence, [this, generation](void* reply) {
    if (generation != generation_) return;
    if (!reply) {
      // The manager's window is gone already; its successor will announce itself.
      manager_ = 0;
      return;
    }
    auto* property = static_cast<xcb_get_property_reply_t*>(reply);
    xcb_visualid_t visual = 0;
    if (property->format == 32 && xcb_get_property_value_length(property) >= 4) {
      std::memcpy(&visual, xcb_get_property_value(property), 4);
    }
    dock(visual);
  });
  connection_->flush();
}

void XEmbedStatusItem::dock(xcb_visualid_t visual) {
  xcb_connection_t* c = connection_->get();
  const XSetup& s = connection_->setup();
  const XSetup::VisualFormat* offered = visual ? s.visual(visual) : nullptr;
  argb_ = offered && offered->depth == 32 && offered->hasAlpha;
  width_ = height_ = kInitialSize;
  icon_ = xcb_generate_id(c);
  const std::uint32_t events = XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                               XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                               XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW;
  if (argb_) {
    colormap_ = xcb_generate_id(c);
    xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap_, s.root, visual);
    // Background and border of pixel 0: fully transparent in an ARGB visual.
    const std::uint32_t values[] = {0, 0, events, colormap_};
    xcb_create_window(c, 32, icon_, s.root, 0, 0, kInitialSize, kInitialSize, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_EVENT_MASK | XCB_CW_COLORMAP,
                      values);
    gc_ = xcb_generate_id(c);
    xcb_create_gc(c, gc_, icon_, 0, nullptr);
  } else {
    // The tray's own background shows through wherever the icon is clear.
    const std::uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, events};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, icon_, s.root, 0, 0, kInitialSize, kInitialSize, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK, values);
    if (s.hasRender && s.argb32Format) {
      if (const XSetup::VisualFormat* root = s.visual(s.rootVisual)) {
        target_ = xcb_generate_id(c);
        xcb_render_create_picture(c, target_, icon_, root->format, 0, nullptr);
      }
    }
    if (!target_) {
      // No RENDER: the icon is put as it is, its clear corners black.
      gc_ = xcb_generate_id(c);
      xcb_create_gc(c, gc_, icon_, 0, nullptr);
    }
  }
  const std::uint32_t info[] = {0, kXEmbedMapped};
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, icon_, s.atoms.xembedInfo, s.atoms.xembedInfo, 32,
                      2, info);
  static constexpr char kName[] = "Sitting Timer";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, icon_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      sizeof kName - 1, kName);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, icon_, s.atoms.netWmName, s.atoms.utf8String, 8,
                      sizeof kName - 1, kName);
  static constexpr char kClass[] = "sitting-timer\0Sitting Timer";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, icon_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      sizeof kClass, kClass);

  xcb_client_message_event_t request{};
  request.response_type = XCB_CLIENT_MESSAGE;
  request.format = 32;
  request.window = manager_;
  request.type = s.atoms.opcode;
  request.data.data32[0] = XCB_CURRENT_TIME;
  request.data.data32[1] = kSystemTrayRequestDock;
  request.data.data32[2] = icon_;
  xcb_send_event(c, 0, manager_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&request));
  connection_->flush();
}

void XEmbedStatusItem::destroyIcon() {
  hideTooltip();
  if (menuReaper_) {
    g_source_remove(menuReaper_);
    menuReaper_ = 0;
  }
  menu_.reset();
  if (connection_->connected()) {
    // Also after the window was destroyed by someone else: what hangs on it is still ours. (A
    // picture freed with its window makes an error event, which nobody reads as more.)
    xcb_connection_t* c = connection_->get();
    if (source_) xcb_render_free_picture(c, source_);
    if (target_) xcb_render_free_picture(c, target_);
    if (pixmap_) xcb_free_pixmap(c, pixmap_);
    if (gc_) xcb_free_gc(c, gc_);
    if (icon_) xcb_destroy_window(c, icon_);
    if (colormap_) xcb_free_colormap(c, colormap_);
    connection_->flush();
  }
  icon_ = colormap_ = gc_ = pixmap_ = source_ = target_ = 0;
  pixmapSize_ = 0;
}

void XEmbedStatusItem::setAttributedTitle(const AttributedString& title) {
  const TrayIconFace face = trayIconFace(title);
  const bool changed = !hasTitle_ || face != face_;
  hasTitle_ = true;
  face_ = face;
  if (changed) draw();
  if (title.string() != text_) {
    text_ = title.string();
    if (tooltip_) drawTooltip();
  }
}

void XEmbedStatusItem::draw() {
  if (!icon_ || !hasTitle_ || !connection_->connected()) return;
  // One frame at a time: the next waits for the server to have taken this one, and only the
  // newest face is drawn then. So a stalled server never has more than one frame unread.
  if (frameInFlight_) {
    frameWanted_ = true;
    return;
  }
  xcb_connection_t* c = connection_->get();
  const XSetup& s = connection_->setup();
  const int size = iconSize();
  const auto x = static_cast<std::int16_t>(std::max(0, (width_ - size) / 2));
  const auto y = static_cast<std::int16_t>(std::max(0, (height_ - size) / 2));
  if (face_.transparent) {
    xcb_clear_area(c, 0, icon_, 0, 0, 0, 0);
  } else {
    if (image_.size != size || imageFace_ != face_) {
      // Drawn when the face or the size changes: once a minute at most, never for a blink.
      image_ = renderTrayImage(face_, size);
      imageFace_ = face_;
      if (s.swapBytes) {
        for (std::uint32_t& p : image_.pixels) p = __builtin_bswap32(p);
      }
    }
    const auto side = static_cast<std::uint16_t>(size);
    const auto bytes = static_cast<std::uint32_t>(image_.pixels.size() * 4);
    const auto* data = reinterpret_cast<const std::uint8_t*>(image_.pixels.data());
    if (argb_) {
      // Premultiplied ARGB is what an ARGB visual holds: put as it is.
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, icon_, gc_, side, side, x, y, 0, 32, bytes, data);
    } else if (target_) {
      if (pixmapSize_ != size) {
        if (source_) xcb_render_free_picture(c, source_);
        if (pixmap_) xcb_free_pixmap(c, pixmap_);
        if (gc_) xcb_free_gc(c, gc_);
        pixmap_ = xcb_generate_id(c);
        xcb_create_pixmap(c, 32, pixmap_, icon_, side, side);
        gc_ = xcb_generate_id(c);
        xcb_create_gc(c, gc_, pixmap_, 0, nullptr);
        source_ = xcb_generate_id(c);
        xcb_render_create_picture(c, source_, pixmap_, s.argb32Format, 0, nullptr);
        pixmapSize_ = size;
      }
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap_, gc_, side, side, 0, 0, 0, 32, bytes,
                    data);
      // Over the tray's background, blended at the badge's soft edges.
      xcb_clear_area(c, 0, icon_, 0, 0, 0, 0);
      xcb_render_composite(c, XCB_RENDER_PICT_OP_OVER, source_, XCB_NONE, target_, 0, 0, 0, 0, x, y,
                           side, side);
    } else {
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, icon_, gc_, side, side, x, y, 0, s.rootDepth,
                    bytes, data);
    }
  }
  ++framesDrawn_;
  frameInFlight_ = true;
  const auto cookie = xcb_get_input_focus(c);
  connection_->onReply(cookie.sequence, [this](void*) { frameTaken(); });
  connection_->flush();
}

void XEmbedStatusItem::frameTaken() {
  frameInFlight_ = false;
  if (frameWanted_) {
    frameWanted_ = false;
    draw();
  }
}

void XEmbedStatusItem::event(xcb_generic_event_t& event) {
  const XSetup& s = connection_->setup();
  const std::uint8_t type = event.response_type & 0x7f;
  if (menu_ && menu_->open()) {
    switch (type) {
      case XCB_BUTTON_PRESS:
      case XCB_BUTTON_RELEASE:
      case XCB_MOTION_NOTIFY:
      case XCB_KEY_PRESS:
      case XCB_LEAVE_NOTIFY:
        menu_->handle(event);
        return;
      case XCB_EXPOSE:
        if (reinterpret_cast<xcb_expose_event_t&>(event).window == menu_->window()) {
          menu_->handle(event);
          return;
        }
        break;
      default:
        break;
    }
  }
  switch (type) {
    case XCB_CLIENT_MESSAGE: {
      const auto& e = reinterpret_cast<xcb_client_message_event_t&>(event);
      // A new tray took the selection: dock there.
      if (e.window == s.root && e.type == s.atoms.manager && e.format == 32 &&
          e.data.data32[1] == s.atoms.traySelection) {
        adoptManager(e.data.data32[2]);
      }
      break;
    }
    case XCB_DESTROY_NOTIFY: {
      const auto& e = reinterpret_cast<xcb_destroy_notify_event_t&>(event);
      if (manager_ && e.window == manager_) {
        adoptManager(0);  // gone; wait for the next to announce itself
      } else if (icon_ && e.window == icon_) {
        icon_ = 0;  // its tray destroyed it; the rest goes with the next dock
      }
      break;
    }
    case XCB_CONFIGURE_NOTIFY: {
      const auto& e = reinterpret_cast<xcb_configure_notify_event_t&>(event);
      if (icon_ && e.window == icon_ && (e.width != width_ || e.height != height_)) {
        width_ = e.width;
        height_ = e.height;
        draw();
      }
      break;
    }
    case XCB_EXPOSE: {
      const auto& e = reinterpret_cast<xcb_expose_event_t&>(event);
      if (tooltip_ && e.window == tooltip_ && e.count == 0) drawTooltip();
      if (icon_ && e.window == icon_ && e.count == 0) {
        // The server cleared it; whatever frame is in flight may have been drawn before.
        if (frameInFlight_) {
          frameWanted_ = true;
        } else {
          draw();
        }
      }
      break;
    }
    case XCB_ENTER_NOTIFY: {
      const auto& e = reinterpret_cast<xcb_enter_notify_event_t&>(event);
      if (!icon_ || e.event != icon_) break;
      pointerX_ = e.root_x;
      pointerY_ = e.root_y;
      if (!tooltip_ && !tooltipTimer_) {
        tooltipTimer_ = g_timeout_add(
            kTooltipDelayMs,
            [](void* data) -> int {
              auto& self = *static_cast<XEmbedStatusItem*>(data);
              self.tooltipTimer_ = 0;
              self.showTooltip();
              return G_SOURCE_REMOVE;
            },
            this);
      }
      break;
    }
    case XCB_LEAVE_NOTIFY:
      if (icon_ && reinterpret_cast<xcb_leave_notify_event_t&>(event).event == icon_) {
        hideTooltip();
      }
      break;
    case XCB_BUTTON_PRESS: {
      const auto& e = reinterpret_cast<xcb_button_press_event_t&>(event);
      if (!icon_ || e.event != icon_) break;
      hideTooltip();
      if (e.detail == 1) {
        press();
      } else if (e.detail == 3) {
        openMenu(e.root_x, e.root_y);
      }
      break;
    }
    default:
      break;
  }
}

void XEmbedStatusItem::press() {
  if (clicks_.press(options_.clock()) == ClickSequence::Kind::click) {
    sendAction();
  } else {
    sendDoubleAction();
  }
}

void XEmbedStatusItem::showTooltip() {
  if (tooltip_ || !icon_ || text_.empty() || !connection_->connected()) return;
  if (menu_ && menu_->open()) return;
  xcb_connection_t* c = connection_->get();
  const XSetup& s = connection_->setup();
  const MenuImage image = renderMenu({text_}, -1);
  // Below the pointer, or above it on a panel at the bottom of the screen; kept on the screen.
  int x = std::clamp(pointerX_ - image.width / 2, 0, std::max(0, s.screenWidth - image.width));
  int y = pointerY_ + 20;
  if (y + image.height > s.screenHeight) y = std::max(0, pointerY_ - 20 - image.height);
  tooltip_ = xcb_generate_id(c);
  const std::uint32_t values[] = {0x808080, 1, XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c, s.rootDepth, tooltip_, s.root, static_cast<std::int16_t>(x),
                    static_cast<std::int16_t>(y), static_cast<std::uint16_t>(image.width),
                    static_cast<std::uint16_t>(image.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    s.rootVisual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                    values);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, tooltip_, s.atoms.windowType, XCB_ATOM_ATOM, 32, 1,
                      &s.atoms.typeTooltip);
  static constexpr char kClass[] = "sitting-timer-tooltip\0Sitting Timer";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, tooltip_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      sizeof kClass, kClass);
  tooltipGc_ = xcb_generate_id(c);
  xcb_create_gc(c, tooltipGc_, tooltip_, 0, nullptr);
  xcb_map_window(c, tooltip_);
  connection_->flush();
}

void XEmbedStatusItem::drawTooltip() {
  if (!tooltip_ || !connection_->connected()) return;
  xcb_connection_t* c = connection_->get();
  MenuImage image = renderMenu({text_}, -1);
  if (connection_->setup().swapBytes) {
    for (std::uint32_t& p : image.pixels) p = __builtin_bswap32(p);
  }
  // A new title may be wider: the window follows.
  const std::uint32_t size[] = {static_cast<std::uint32_t>(image.width),
                                static_cast<std::uint32_t>(image.height)};
  xcb_configure_window(c, tooltip_, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
  xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, tooltip_, tooltipGc_,
                static_cast<std::uint16_t>(image.width), static_cast<std::uint16_t>(image.height),
                0, 0, 0, connection_->setup().rootDepth,
                static_cast<std::uint32_t>(image.pixels.size() * 4),
                reinterpret_cast<const std::uint8_t*>(image.pixels.data()));
  connection_->flush();
}

void XEmbedStatusItem::hideTooltip() {
  if (tooltipTimer_) {
    g_source_remove(tooltipTimer_);
    tooltipTimer_ = 0;
  }
  if (!tooltip_) return;
  if (connection_->connected()) {
    xcb_free_gc(connection_->get(), tooltipGc_);
    xcb_destroy_window(connection_->get(), tooltip_);
    connection_->flush();
  }
  tooltip_ = tooltipGc_ = 0;
}

void XEmbedStatusItem::openMenu(int x, int y) {
  if (menuReaper_) {
    g_source_remove(menuReaper_);
    menuReaper_ = 0;
  }
  menu_ = std::make_unique<XEmbedMenu>(
      *connection_, x, y,
      [this](XEmbedMenu::Entry entry) {
        if (entry == XEmbedMenu::kRestart) {
          sendAction();
        } else {
          sendDoubleAction();
        }
      },
      [this] {
        // Let go from the loop: this is called from within the menu.
        if (!menuReaper_) {
          menuReaper_ = g_idle_add(
              [](void* data) -> int {
                auto& self = *static_cast<XEmbedStatusItem*>(data);
                self.menuReaper_ = 0;
                if (self.menu_ && !self.menu_->open()) self.menu_.reset();
                return G_SOURCE_REMOVE;
              },
              this);
        }
      });
}

}  // namespace platform::linux_backend
