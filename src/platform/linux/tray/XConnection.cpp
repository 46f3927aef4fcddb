#include "platform/linux/tray/XConnection.h"

#include <glib-unix.h>
#include <pthread.h>
#include <signal.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/linux/GLibRunLoop.h"

namespace platform::linux_backend {

namespace {

template <class Reply>
struct Freed {
  Reply* reply;
  ~Freed() { std::free(reply); }
  Reply* operator->() const { return reply; }
  explicit operator bool() const { return reply != nullptr; }
};

bool nativeLittleEndian() {
  const std::uint16_t one = 1;
  std::uint8_t first = 0;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// The keys the menu answers to, from a keyboard map that starts at keycode `first`: each
// keycode by the first keysym it gives.
std::vector<std::pair<xcb_keycode_t, MenuKey>> menuKeys(const xcb_get_keyboard_mapping_reply_t& map,
                                                        xcb_keycode_t first) {
  std::vector<std::pair<xcb_keycode_t, MenuKey>> keys;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(&map);
  const int per = map.keysyms_per_keycode;
  const int count = xcb_get_keyboard_mapping_keysyms_length(&map);
  struct Known {
    xcb_keysym_t sym;
    MenuKey key;
  };
  static constexpr Known kKnown[] = {{0xff1b, MenuKey::escape},  // Escape
                                     {0xff0d, MenuKey::enter},   // Return
                                     {0xff8d, MenuKey::enter},   // KP_Enter
                                     {0x0020, MenuKey::enter},   // space
                                     {0xff52, MenuKey::up},      // Up
                                     {0xff54, MenuKey::down}};   // Down
  for (int i = 0; per > 0 && i < count; i += per) {
    for (const Known& k : kKnown) {
      if (syms[i] == k.sym) keys.emplace_back(static_cast<xcb_keycode_t>(first + i / per), k.key);
    }
  }
  return keys;
}

// Everything that needs an answer before the item can draw, asked on the worker thread.
void readSetup(XSetup& s) {
  xcb_connection_t* c = s.connection;
  const xcb_setup_t* setup = xcb_get_setup(c);
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < s.screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) return;
  s.root = it.data->root;
  s.rootVisual = it.data->root_visual;
  s.rootDepth = it.data->root_depth;
  s.screenWidth = it.data->width_in_pixels;
  s.screenHeight = it.data->height_in_pixels;
  s.swapBytes = (setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) != nativeLittleEndian();
  s.maxRequestBytes = xcb_get_maximum_request_length(c) * 4;

  const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(s.screenNumber);
  struct Name {
    const char* name;
    xcb_atom_t* atom;
  };
  XSetup::Atoms& a = s.atoms;
  const Name names[] = {{selection.c_str(), &a.traySelection},
                        {"MANAGER", &a.manager},
                        {"_NET_SYSTEM_TRAY_OPCODE", &a.opcode},
                        {"_NET_SYSTEM_TRAY_VISUAL", &a.trayVisual},
                        {"_XEMBED_INFO", &a.xembedInfo},
                        {"_XEMBED", &a.xembed},
                        {"WM_NAME", &a.wmName},
                        {"_NET_WM_NAME", &a.netWmName},
                        {"UTF8_STRING", &a.utf8String},
                        {"WM_CLASS", &a.wmClass},
                        {"_NET_WM_WINDOW_TYPE", &a.windowType},
                        {"_NET_WM_WINDOW_TYPE_POPUP_MENU", &a.typeMenu},
                        {"_NET_WM_WINDOW_TYPE_TOOLTIP", &a.typeTooltip}};
  std::vector<xcb_intern_atom_cookie_t> cookies;
  for (const Name& n : names) {
    cookies.push_back(
        xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(n.name)), n.name));
  }
  const xcb_render_query_version_cookie_t version = xcb_render_query_version(c, 0, 11);
  const xcb_get_keyboard_mapping_cookie_t keymap =
      xcb_get_keyboard_mapping(c, setup->min_keycode, setup->max_keycode - setup->min_keycode + 1);
  for (std::size_t i = 0; i < cookies.size(); ++i) {
    Freed<xcb_intern_atom_reply_t> reply{xcb_intern_atom_reply(c, cookies[i], nullptr)};
    if (reply) *names[i].atom = reply->atom;
  }
  if (Freed<xcb_render_query_version_reply_t> v{
          xcb_render_query_version_reply(c, version, nullptr)}) {
    s.hasRender = true;
  }
  if (Freed<xcb_get_keyboard_mapping_reply_t> map{
          xcb_get_keyboard_mapping_reply(c, keymap, nullptr)}) {
    s.keys = menuKeys(*map.reply, setup->min_keycode);
  }
  if (a.traySelection) {
    if (Freed<xcb_get_selection_owner_reply_t> owner{xcb_get_selection_owner_reply(
            c, xcb_get_selection_owner(c, a.traySelection), nullptr)}) {
      s.managerAtConnect = owner->owner;
    }
  }
  if (!s.hasRender) return;
  Freed<xcb_render_query_pict_formats_reply_t> formats{
      xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr)};
  if (!formats) {
    s.hasRender = false;
    return;
  }
  std::vector<xcb_render_pictforminfo_t> infos;
  for (auto f = xcb_render_query_pict_formats_formats_iterator(formats.reply); f.rem;
       xcb_render_pictforminfo_next(&f)) {
    const xcb_render_pictforminfo_t& info = *f.data;
    infos.push_back(info);
    if (info.type == XCB_RENDER_PICT_TYPE_DIRECT && info.depth == 32 &&
        info.direct.alpha_mask == 0xff && info.direct.alpha_shift == 24 &&
        info.direct.red_shift == 16 && info.direct.green_shift == 8 &&
        info.direct.blue_shift == 0) {
      s.argb32Format = info.id;
    }
  }
  auto screens = xcb_render_query_pict_formats_screens_iterator(formats.reply);
  for (int i = 0; i < s.screenNumber && screens.rem; ++i) xcb_render_pictscreen_next(&screens);
  if (!screens.rem) return;
  for (auto d = xcb_render_pictscreen_depths_iterator(screens.data); d.rem;
       xcb_render_pictdepth_next(&d)) {
    for (auto v = xcb_render_pictdepth_visuals_iterator(d.data); v.rem;
         xcb_render_pictvisual_next(&v)) {
      bool alpha = false;
      for (const auto& info : infos) {
        if (info.id == v.data->format) alpha = info.direct.alpha_mask != 0;
      }
      s.visuals.push_back({v.data->visual, d.data->depth, v.data->format, alpha});
    }
  }
}

}  // namespace

struct XConnection::Attempt {
  std::mutex mutex;
  std::condition_variable finishedSignal;
  bool finished = false;
  bool abandoned = false;
  std::string display;
  XSetup setup;                  // connection null unless it worked
  XConnection* owner = nullptr;  // main thread only
};

XConnection::XConnection(std::string display) : display_(std::move(display)) {
  if (display_.empty()) {
    const char* env = std::getenv("DISPLAY");
    display_ = env ? env : "";
  }
  start();
}

XConnection::~XConnection() {
  if (attempt_) {
    std::lock_guard lock(attempt_->mutex);
    attempt_->abandoned = true;
    attempt_->owner = nullptr;
    if (attempt_->setup.connection)
      xcb_disconnect(std::exchange(attempt_->setup.connection, nullptr));
  }
  attempt_.reset();
  pending_.clear();
  drop();
}

void XConnection::start() {
  auto attempt = std::make_shared<Attempt>();
  attempt->owner = this;
  attempt->display = display_;
  // The worker must never be the thread a signal is delivered to.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    std::thread(&XConnection::runAttempt, attempt).detach();
    attempt_ = std::move(attempt);
  } catch (const std::system_error&) {
    // No thread now; the owner tries again after its retry interval.
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void XConnection::runAttempt(std::shared_ptr<Attempt> attempt) {
  XSetup setup;
  setup.display = attempt->display.empty() ? "(unset)" : attempt->display;
  setup.connection = xcb_connect(attempt->display.empty() ? nullptr : attempt->display.c_str(),
                                 &setup.screenNumber);
  if (xcb_connection_has_error(setup.connection)) {
    xcb_disconnect(setup.connection);
    setup.connection = nullptr;
  } else {
    readSetup(setup);
    if (!setup.root || xcb_connection_has_error(setup.connection)) {
      xcb_disconnect(setup.connection);
      setup.connection = nullptr;
    }
  }
  {
    std::lock_guard lock(attempt->mutex);
    attempt->finished = true;
    if (!attempt->abandoned) {
      attempt->setup = std::move(setup);
      setup.connection = nullptr;
    }
  }
  attempt->finishedSignal.notify_all();
  if (setup.connection) {
    xcb_disconnect(setup.connection);
    return;
  }
  g_idle_add_full(G_PRIORITY_DEFAULT, &XConnection::onAttemptFinished,
                  new std::shared_ptr<Attempt>(std::move(attempt)),
                  [](gpointer data) { delete static_cast<std::shared_ptr<Attempt>*>(data); });
}

gboolean XConnection::onAttemptFinished(gpointer data) {
  const auto& attempt = *static_cast<std::shared_ptr<Attempt>*>(data);
  if (!attempt->abandoned && attempt->owner && attempt->owner->attempt_ == attempt) {
    attempt->owner->take();
  }
  return G_SOURCE_REMOVE;
}

void XConnection::take() {
  if (!attempt_) return;
  XSetup setup;
  {
    std::lock_guard lock(attempt_->mutex);
    if (!attempt_->finished) return;
    setup = std::move(attempt_->setup);
    attempt_->setup.connection = nullptr;
  }
  attempt_.reset();
  if (!setup.connection) {
    if (handlers_.lost) handlers_.lost();
    return;
  }
  setup_ = std::move(setup);
  watch_ = g_unix_fd_add(xcb_get_file_descriptor(setup_.connection),
                         static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                         &XConnection::onReadable, this);
  if (handlers_.connected) handlers_.connected();
  // Whatever arrived while the worker was still at it.
  dispatch();
}

bool XConnection::waitConnected(double seconds, std::string& whyNot) {
  if (attempt_) {
    // In slices, so that a signal that ends the program is not kept waiting for the server.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    const auto slice = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(GLibRunLoop::kStartupSliceSeconds));
    std::unique_lock lock(attempt_->mutex);
    while (!attempt_->finished && Clock::now() < deadline && !GLibRunLoop::terminationPending()) {
      attempt_->finishedSignal.wait_until(lock, std::min(deadline, Clock::now() + slice),
                                          [this] { return attempt_->finished; });
    }
  }
  const bool stillTrying = attempt_ && !attempt_->finished;
  if (!stillTrying) {
    // Handed over here, not from the loop: nothing of the program may run before it exists.
    const Handlers handlers = std::exchange(handlers_, {});
    take();
    handlers_ = handlers;
  }
  if (connected()) return true;
  const std::string name = display_.empty() ? "(unset)" : display_;
  whyNot = stillTrying ? "display " + name + " does not answer" : "cannot open display " + name;
  return false;
}

void XConnection::onReply(unsigned sequence, ReplyHandler done) {
  if (!connected()) {
    done(nullptr);
    return;
  }
  pending_.push_back({sequence, std::move(done)});
}

void XConnection::readKeys() {
  // The keyboard's layout changed: the menu's keys are read again, without waiting.
  xcb_connection_t* c = setup_.connection;
  const xcb_setup_t* setup = xcb_get_setup(c);
  const auto cookie =
      xcb_get_keyboard_mapping(c, setup->min_keycode, setup->max_keycode - setup->min_keycode + 1);
  onReply(cookie.sequence, [this, c, first = setup->min_keycode](void* reply) {
    if (reply && setup_.connection == c) {
      setup_.keys = menuKeys(*static_cast<xcb_get_keyboard_mapping_reply_t*>(reply), first);
    }
  });
  xcb_flush(c);
}

void XConnection::flush() {
  if (connected()) xcb_flush(setup_.connection);
}

void XConnection::reconnect() {
  drop();
  if (!attempt_) start();
}

void XConnection::drop() {
  if (watch_) g_source_remove(watch_);
  watch_ = 0;
  if (setup_.connection) xcb_disconnect(setup_.connection);
  setup_ = XSetup{};
  // Requests of the connection gone are never answered.
  std::deque<Pending> orphans = std::exchange(pending_, {});
  for (Pending& p : orphans) p.done(nullptr);
}

void XConnection::lose() {
  drop();
  if (handlers_.lost) handlers_.lost();
}

void XConnection::dispatch() {
  if (dispatching_ || !connected()) return;
  dispatching_ = true;
  xcb_connection_t* c = setup_.connection;
  bool progress = true;
  while (progress && connected() && setup_.connection == c) {
    progress = false;
    // Events first, then the replies they came with; reading replies may bring more events.
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      progress = true;
      if ((event->response_type & 0x7f) == XCB_MAPPING_NOTIFY &&
          reinterpret_cast<xcb_mapping_notify_event_t*>(event)->request == XCB_MAPPING_KEYBOARD) {
        readKeys();
      }
      if (handlers_.event) handlers_.event(*event);
      std::free(event);
      if (!connected() || setup_.connection != c) break;
    }
    while (connected() && setup_.connection == c && !pending_.empty()) {
      void* reply = nullptr;
      xcb_generic_error_t* error = nullptr;
      if (!xcb_poll_for_reply(c, pending_.front().sequence, &reply, &error)) break;
      progress = true;
      ReplyHandler done = std::move(pending_.front().done);
      pending_.pop_front();
      std::free(error);
      done(reply);
      std::free(reply);
    }
  }
  dispatching_ = false;
  if (connected() && setup_.connection == c && xcb_connection_has_error(c)) lose();
}

gboolean XConnection::onReadable(gint, GIOCondition condition, gpointer data) {
  auto& self = *static_cast<XConnection*>(data);
  self.dispatch();
  // A hang-up xcb did not take as an error would otherwise make the loop spin.
  if (self.connected() && (condition & (G_IO_HUP | G_IO_ERR))) self.lose();
  // Once lost, drop() has removed this watch already.
  return self.connected() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

}  // namespace platform::linux_backend
