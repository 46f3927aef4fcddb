// XConnection.h: one XCB connection for the XEmbed tray that the main loop never waits on.
// Connecting and everything the item must know before it can draw (atoms, the RENDER picture
// formats, the keyboard map, the tray's current owner) are round trips with no timeout: a
// worker thread does them, and hands the connection to the main loop when done. From then on
// requests that answer are sent with a callback, called from the loop when the reply is there
// (xcb_poll_for_reply), and events are dispatched as the descriptor becomes readable.
#pragma once

#include <glib.h>
#include <xcb/render.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::linux_backend {

// Keys the popup menu answers to, as read from the keyboard map.
enum class MenuKey { none, escape, enter, up, down };

struct XSetup {
  xcb_connection_t* connection = nullptr;
  std::string display;  // as named, for messages
  int screenNumber = 0;
  xcb_window_t root = 0;
  xcb_visualid_t rootVisual = 0;
  std::uint8_t rootDepth = 0;
  std::uint16_t screenWidth = 0, screenHeight = 0;
  bool swapBytes = false;  // the server keeps image words in the other byte order
  std::uint32_t maxRequestBytes = 0;

  struct Atoms {
    xcb_atom_t traySelection = 0;  // _NET_SYSTEM_TRAY_S<screen>
    xcb_atom_t manager = 0, opcode = 0, trayVisual = 0, xembedInfo = 0, xembed = 0;
    xcb_atom_t wmName = 0, netWmName = 0, utf8String = 0, wmClass = 0;
    xcb_atom_t windowType = 0, typeMenu = 0, typeTooltip = 0;
  } atoms;

  // The tray's owner when the connection was made (0: none).
  xcb_window_t managerAtConnect = 0;

  bool hasRender = false;
  xcb_render_pictformat_t argb32Format = 0;
  struct VisualFormat {
    xcb_visualid_t visual;
    std::uint8_t depth;
    xcb_render_pictformat_t format;
    bool hasAlpha;
  };
  std::vector<VisualFormat> visuals;  // every visual of the screen RENDER knows
  const VisualFormat* visual(xcb_visualid_t id) const {
    for (const auto& v : visuals) {
      if (v.visual == id) return &v;
    }
    return nullptr;
  }

  std::vector<std::pair<xcb_keycode_t, MenuKey>> keys;
  MenuKey key(xcb_keycode_t code) const {
    for (const auto& [c, k] : keys) {
      if (c == code) return k;
    }
    return MenuKey::none;
  }
};

class XConnection {
 public:
  // Connects to `display` ($DISPLAY when empty) on a worker thread; returns at once.
  explicit XConnection(std::string display);
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  struct Handlers {
    std::function<void()> connected;                        // the setup is ready
    std::function<void(xcb_generic_event_t& event)> event;  // each event, in order
    std::function<void()> lost;                             // the connection is gone
  };
  void setHandlers(Handlers handlers) { handlers_ = std::move(handlers); }

  // Start-up only, before the loop runs: waits up to `seconds` for the worker. False, saying
  // why, when the display cannot be opened or does not answer.
  bool waitConnected(double seconds, std::string& whyNot);

  bool connected() const { return setup_.connection != nullptr; }
  // Connecting is under way (the worker has not finished).
  bool connecting() const { return attempt_ != nullptr; }
  const XSetup& setup() const { return setup_; }
  // The display as named ($DISPLAY when none was), for messages.
  const std::string& displayName() const { return display_; }
  xcb_connection_t* get() const { return setup_.connection; }

  // `done` gets the reply to the request of `sequence` (freed after the call), or null for an
  // error or a lost connection. Called from the main loop, in the order the requests went out.
  using ReplyHandler = std::function<void(void* reply)>;
  void onReply(unsigned sequence, ReplyHandler done);

  // Sends what is buffered. Callers keep what they leave unanswered small (one frame of the
  // icon at most), so the socket never fills and this never waits.
  void flush();

  // Drops the connection (if any) and starts a new attempt.
  void reconnect();

  // For tests: reads and dispatches what has arrived.
  void dispatch();

 private:
  struct Attempt;
  static void runAttempt(std::shared_ptr<Attempt> attempt);
  static gboolean onAttemptFinished(gpointer attempt);
  static gboolean onReadable(gint fd, GIOCondition condition, gpointer self);
  void start();
  void take();
  void drop();
  void lose();
  void readKeys();

  std::string display_;
  Handlers handlers_;
  std::shared_ptr<Attempt> attempt_;
  XSetup setup_;
  guint watch_ = 0;
  struct Pending {
    unsigned sequence;
    ReplyHandler done;
  };
  std::deque<Pending> pending_;
  bool dispatching_ = false;
};

}  // namespace platform::linux_backend
