#include "platform/linux/idle/X11IdleSource.h"

#include <glib-unix.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/linux/GLibRunLoop.h"

namespace platform::linux_backend {

// ---------------------------------------------------------------------------------------------
// The answers.

void X11IdleAnswers::prefetch(double now, const std::function<bool()>& ask) {
  if (!askedAt_ && ask()) askedAt_ = now;
}

IdleLookup X11IdleAnswers::lookUp(double now, const std::function<bool()>& ask) {
  if (latest_ && now - latest_->askedAt > X11Timing::kFreshSeconds) latest_.reset();
  prefetch(now, ask);
  if (latest_) {
    const double idleMs = latest_->idleMs + (now - latest_->askedAt) * 1000.0;
    lastReported_ = std::llround(idleMs * 1e6);
    return IdleLookup::nanoseconds(lastReported_);
  }
  if (askedAt_ && now - *askedAt_ <= X11Timing::kAnswerTimeoutSeconds) {
    return IdleLookup::nanoseconds(lastReported_);
  }
  // The state machine reads a failure as 0; holding anything else later would look like news.
  lastReported_ = 0;
  return IdleLookup::unavailable();
}

void X11IdleAnswers::answered(std::uint32_t idleMs) {
  if (!askedAt_) return;
  latest_ = Answer{idleMs, *askedAt_};
  askedAt_.reset();
}

void X11IdleAnswers::forget() { askedAt_.reset(); }

// ---------------------------------------------------------------------------------------------
// Connecting on a worker thread. xcb_connect and the extension query are round trips with no
// timeout: a server that accepts a connection and never answers would hold them for ever. The
// worker hands its result to the main thread through the main loop; the main thread never joins
// it, and one that is abandoned frees its own connection when it ends, if it ever does.

struct X11IdleSource::Attempt {
  std::mutex mutex;
  std::condition_variable finishedSignal;
  bool finished = false;
  bool abandoned = false;
  xcb_connection_t* connection = nullptr;
  unsigned root = 0;
  bool hasExtension = false;
  X11IdleSource* owner = nullptr;  // main thread only
};

void X11IdleSource::runAttempt(std::shared_ptr<Attempt> attempt, std::string display) {
  int screen = 0;
  xcb_connection_t* connection = xcb_connect(display.empty() ? nullptr : display.c_str(), &screen);
  unsigned root = 0;
  bool hasExtension = false;
  if (!xcb_connection_has_error(connection)) {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screen && it.rem; ++i) xcb_screen_next(&it);
    root = it.rem ? it.data->root : 0;
    // A round trip, done here so that sending the query never needs one.
    const xcb_query_extension_reply_t* ext =
        xcb_get_extension_data(connection, &xcb_screensaver_id);
    hasExtension = root && ext && ext->present;
  }
  {
    std::lock_guard lock(attempt->mutex);
    attempt->finished = true;
    if (!attempt->abandoned) {
      attempt->connection = std::exchange(connection, nullptr);
      attempt->root = root;
      attempt->hasExtension = hasExtension;
    }
  }
  attempt->finishedSignal.notify_all();
  if (connection) {
    xcb_disconnect(connection);
    return;
  }
  // An idle source, not g_main_context_invoke: that would run the hand-over on this thread
  // whenever the main thread is not inside the loop.
  g_idle_add_full(G_PRIORITY_DEFAULT, &X11IdleSource::onAttemptFinished,
                  new std::shared_ptr<Attempt>(std::move(attempt)),
                  [](gpointer data) { delete static_cast<std::shared_ptr<Attempt>*>(data); });
}

gboolean X11IdleSource::onAttemptFinished(gpointer data) {
  const auto& attempt = *static_cast<std::shared_ptr<Attempt>*>(data);
  // Owner and abandonment change on this thread only.
  if (!attempt->abandoned && attempt->owner && attempt->owner->attempt_ == attempt) {
    attempt->owner->takeFinishedAttempt();
  }
  return G_SOURCE_REMOVE;
}

void X11IdleSource::startAttempt(double now) {
  pacing_.tried(now);
  auto attempt = std::make_shared<Attempt>();
  attempt->owner = this;
  // Signals are the main loop's business; the worker must never be the thread that takes one.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    std::thread(&X11IdleSource::runAttempt, attempt, display_).detach();
    attempt_ = std::move(attempt);
  } catch (const std::system_error&) {
    // No thread now: tried again after the retry interval.
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void X11IdleSource::takeFinishedAttempt() {
  if (!attempt_) return;
  xcb_connection_t* connection = nullptr;
  {
    std::lock_guard lock(attempt_->mutex);
    if (!attempt_->finished) return;
    connection = std::exchange(attempt_->connection, nullptr);
    root_ = attempt_->root;
    hasExtension_ = attempt_->hasExtension;
  }
  attempt_.reset();
  if (!connection) return;
  if (xcb_connection_has_error(connection)) {
    // xcb_connect hands back an object in an error state rather than null; it still needs freeing.
    xcb_disconnect(connection);
    return;
  }
  connection_ = connection;
  // Only a hang-up or an error wakes the loop: the answer to the query in flight is read at the
  // next lookup (xcb_poll_for_reply reads what the socket holds), so that each tick costs one
  // wakeup, not a second one for the reply.
  watch_ = g_unix_fd_add(xcb_get_file_descriptor(connection_),
                         static_cast<GIOCondition>(G_IO_HUP | G_IO_ERR),
                         &X11IdleSource::onConnectionReadable, this);
  // The first question goes out now, so that the next lookup has its answer.
  answers_.prefetch(clock_(), [this] { return ask(); });
}

void X11IdleSource::abandonAttempt() {
  if (!attempt_) return;
  xcb_connection_t* connection = nullptr;
  {
    std::lock_guard lock(attempt_->mutex);
    attempt_->abandoned = true;
    attempt_->owner = nullptr;
    connection = std::exchange(attempt_->connection, nullptr);
  }
  attempt_.reset();
  if (connection) xcb_disconnect(connection);
}

// ---------------------------------------------------------------------------------------------
// The connection.

std::unique_ptr<X11IdleSource> X11IdleSource::connect(Clock clock, std::string& whyNot) {
  const char* display = std::getenv("DISPLAY");
  auto source = std::make_unique<X11IdleSource>(std::move(clock), display ? display : "");
  if (!source->waitForFirstAnswer(X11Timing::kProbeSeconds, whyNot)) return nullptr;
  return source;
}

X11IdleSource::X11IdleSource(Clock clock, std::string display)
    : clock_(std::move(clock)), display_(std::move(display)) {
  startAttempt(clock_());
}

X11IdleSource::~X11IdleSource() {
  abandonAttempt();
  drop();
}

bool X11IdleSource::waitForFirstAnswer(double seconds, std::string& whyNot) {
  using namespace std::chrono;
  const auto deadline =
      steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(seconds));
  const std::string name = display_.empty() ? "(unset)" : display_;
  const auto slice =
      duration_cast<steady_clock::duration>(duration<double>(GLibRunLoop::kStartupSliceSeconds));
  if (attempt_) {
    std::unique_lock lock(attempt_->mutex);
    while (!attempt_->finished && steady_clock::now() < deadline &&
           !GLibRunLoop::terminationPending()) {
      attempt_->finishedSignal.wait_until(lock, std::min(deadline, steady_clock::now() + slice),
                                          [this] { return attempt_->finished; });
    }
  }
  if (GLibRunLoop::terminationPending()) {
    whyNot = "interrupted";
    return false;
  }
  takeFinishedAttempt();
  if (!connection_) {
    whyNot = attempt_ ? "display " + name + " does not answer" : "cannot open display " + name;
    return false;
  }
  if (!hasExtension_) {
    whyNot = "display " + name + " lacks the MIT-SCREEN-SAVER extension";
    return false;
  }
  answers_.prefetch(clock_(), [this] { return ask(); });
  for (;;) {
    collect();
    if (!connection_) {
      whyNot = "display " + name + " closed the connection";
      return false;
    }
    if (!answers_.inFlight()) break;
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) {
      whyNot = "display " + name + " does not answer";
      return false;
    }
    if (GLibRunLoop::terminationPending()) {
      whyNot = "interrupted";
      return false;
    }
    pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
    poll(&fd, 1,
         static_cast<int>(std::min<long>(left, duration_cast<milliseconds>(slice).count())));
  }
  if (!answers_.hasAnswer()) {
    whyNot = "display " + name + " refuses the screen saver query";
    return false;
  }
  return true;
}

void X11IdleSource::drop() {
  // The watch goes first: once the descriptor is closed its number may be handed out again.
  if (watch_) g_source_remove(watch_);
  watch_ = 0;
  if (connection_) xcb_disconnect(connection_);
  connection_ = nullptr;
  hasExtension_ = false;
  answers_.forget();
}

bool X11IdleSource::ask() {
  if (!connection_ || !hasExtension_) return false;
  sequence_ = xcb_screensaver_query_info(connection_, root_).sequence;
  // Never more than one small query in flight, so this never waits for the server to read.
  xcb_flush(connection_);
  return true;
}

void X11IdleSource::collect() {
  // Nothing is asked for, but a server may send some events (MappingNotify) to every client;
  // left unread they would keep the descriptor readable.
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) std::free(event);
  if (answers_.inFlight()) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection_, sequence_, &reply, &error)) {
      if (reply) {
        answers_.answered(
            static_cast<xcb_screensaver_query_info_reply_t*>(reply)->ms_since_user_input);
      } else {
        answers_.forget();
      }
      std::free(reply);
      std::free(error);
    }
  }
  if (xcb_connection_has_error(connection_)) drop();
}

gboolean X11IdleSource::onConnectionReadable(gint, GIOCondition condition, gpointer data) {
  auto& self = *static_cast<X11IdleSource*>(data);
  self.collect();
  // A hang-up xcb did not take as an error would otherwise make the loop spin.
  if (self.connection_ && (condition & (G_IO_HUP | G_IO_ERR))) self.drop();
  if (self.connection_) return G_SOURCE_CONTINUE;
  self.watch_ = 0;
  return G_SOURCE_REMOVE;
}

IdleLookup X11IdleSource::lookUp(double monotonicNow) {
  if (connection_) collect();
  if (!connection_) {
    takeFinishedAttempt();  // one the loop has not handed over yet
    if (!connection_ && !attempt_ && pacing_.mayTry(monotonicNow)) startAttempt(monotonicNow);
  }
  if (!connection_ || !hasExtension_) return IdleLookup::unavailable();
  return answers_.lookUp(monotonicNow, [this] { return ask(); });
}

}  // namespace platform::linux_backend
