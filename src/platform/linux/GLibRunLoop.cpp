#include "platform/linux/GLibRunLoop.h"

#include <glib-unix.h>
#include <signal.h>

#include <algorithm>
#include <cmath>

namespace platform::linux_backend {

namespace {

struct LoopSource {
  GSource base;
  GLibRunLoop* owner;
};

GLibRunLoop& ownerOf(GSource* source) { return *reinterpret_cast<LoopSource*>(source)->owner; }

gboolean prepare(GSource* source, gint* timeout) {
  GLibRunLoop& loop = ownerOf(source);
  *timeout = -1;
  if (loop.passDue()) {
    *timeout = 0;
    return TRUE;
  }
  if (const auto next = loop.runLoop().nextFireDate()) {
    // Round up: waking a moment early would only cost an empty pass and another wait.
    const double ms = std::ceil((*next - GLibRunLoop::monotonicNow()) * 1000.0);
    *timeout = static_cast<gint>(std::clamp(ms, 0.0, 3600e3));
  }
  return FALSE;
}

gboolean check(GSource* source) { return ownerOf(source).passDue(); }

gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
  ownerOf(source).runPass();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs loopSourceFuncs = {prepare, check, dispatch, nullptr, nullptr, nullptr};

}  // namespace

GLibRunLoop::GLibRunLoop()
    : runLoop_(&GLibRunLoop::monotonicNow),
      context_(g_main_context_ref(g_main_context_default())),
      loop_(g_main_loop_new(context_, FALSE)),
      source_(g_source_new(&loopSourceFuncs, sizeof(LoopSource))) {
  reinterpret_cast<LoopSource*>(source_)->owner = this;
  g_source_set_name(source_, "run loop");
  g_source_attach(source_, context_);
}

GLibRunLoop::~GLibRunLoop() {
  for (guint id : signalSources_) g_source_remove(id);
  runLoop_.reset();
  g_source_destroy(source_);
  g_source_unref(source_);
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void GLibRunLoop::onTerminationSignals(std::function<void()> call) {
  onTerminate_ = std::move(call);
  if (!signalSources_.empty()) return;
  const auto onSignal = [](gpointer data) -> gboolean {
    auto& self = *static_cast<GLibRunLoop*>(data);
    if (self.onTerminate_) self.onTerminate_();
    return G_SOURCE_CONTINUE;
  };
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    signalSources_.push_back(g_unix_signal_add(sig, onSignal, this));
  }
}

void GLibRunLoop::run() {
  if (!runLoop_.isStopped()) g_main_loop_run(loop_);
}

bool GLibRunLoop::passDue() {
  // A stop requested from another source's callback still needs a pass to leave the loop.
  if (runLoop_.isStopped() || runLoop_.hasDeferredCalls()) return true;
  const auto next = runLoop_.nextFireDate();
  return next && *next <= monotonicNow();
}

void GLibRunLoop::runPass() {
  runLoop_.runDeferredCalls();
  if (!runLoop_.isStopped()) runLoop_.fireDueTimers();
  if (runLoop_.isStopped()) g_main_loop_quit(loop_);
}

}  // namespace platform::linux_backend
