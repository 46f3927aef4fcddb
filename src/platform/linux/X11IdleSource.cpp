#include "platform/linux/X11IdleSource.h"

#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace platform::linux_backend {

namespace {

// Reconnecting costs the user their idle time once; not more often than this.
constexpr double kRetrySeconds = 10.0;
// An answer older than this is not aged but asked again: the program may have been stopped
// (bars stop their status command while hidden), and the user may well be back since.
constexpr double kFreshSeconds = 2.0;

}  // namespace

std::unique_ptr<X11IdleSource> X11IdleSource::connect(Clock clock, std::string& whyNot) {
  auto source = std::make_unique<X11IdleSource>(std::move(clock));
  const char* display = std::getenv("DISPLAY");
  if (!source->connection_) {
    whyNot = std::string("cannot open display ") + (display ? display : "");
    return nullptr;
  }
  if (!source->hasExtension_) {
    whyNot = std::string("display ") + (display ? display : "") +
             " lacks the MIT-SCREEN-SAVER extension";
    return nullptr;
  }
  return source;
}

X11IdleSource::X11IdleSource(Clock clock) : clock_(std::move(clock)) { connect(); }

X11IdleSource::~X11IdleSource() { disconnect(); }

void X11IdleSource::connect() {
  int screen = 0;
  connection_ = xcb_connect(nullptr, &screen);
  if (xcb_connection_has_error(connection_)) {
    disconnect();
    return;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; i < screen && it.rem; ++i) xcb_screen_next(&it);
  root_ = it.rem ? it.data->root : 0;
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(connection_, &xcb_screensaver_id);
  hasExtension_ = root_ && ext && ext->present;
}

void X11IdleSource::disconnect() {
  // xcb_connect hands back an object in an error state rather than null; it still needs freeing.
  if (connection_) xcb_disconnect(connection_);
  connection_ = nullptr;
  hasExtension_ = false;
  pending_.reset();
}

void X11IdleSource::ask(double monotonicNow) {
  pending_ = xcb_screensaver_query_info(connection_, root_).sequence;
  askedAt_ = monotonicNow;
  xcb_flush(connection_);
}

IdleLookup X11IdleSource::lookUp(double monotonicNow) {
  const IdleLookup absent = IdleLookup::unavailable();
  if (connection_ && xcb_connection_has_error(connection_)) {
    disconnect();
    retryAt_ = monotonicNow + kRetrySeconds;
  }
  if (!connection_ && monotonicNow >= retryAt_) {
    connect();
    retryAt_ = monotonicNow + kRetrySeconds;
  }
  if (!connection_ || !hasExtension_) return absent;

  if (pending_ && monotonicNow - askedAt_ > kFreshSeconds) {
    xcb_discard_reply(connection_, *pending_);
    pending_.reset();
  }
  if (!pending_) ask(monotonicNow);  // waits for its own answer
  xcb_screensaver_query_info_cookie_t cookie{*pending_};
  const double askedAt = askedAt_;
  xcb_screensaver_query_info_reply_t* reply =
      xcb_screensaver_query_info_reply(connection_, cookie, nullptr);
  pending_.reset();
  if (!reply) return absent;  // a lost connection shows at the next call
  const double idleMs = reply->ms_since_user_input + (monotonicNow - askedAt) * 1000.0;
  std::free(reply);
  ask(monotonicNow);
  return IdleLookup::nanoseconds(static_cast<std::int64_t>(idleMs * 1e6));
}

}  // namespace platform::linux_backend
