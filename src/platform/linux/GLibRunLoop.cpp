#include "platform/linux/GLibRunLoop.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cassert>
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

constexpr int kTerminationSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                                       SIGALRM, SIGVTALRM, SIGXCPU, SIGXFSZ, SIGPWR};

// The signal pipe is made once and kept for the life of the process: a handler running on
// another thread just as the last watch goes must never write to a descriptor that has been
// closed and perhaps reused for something else.
int signalPipe[2] = {-1, -1};
guint signalPipeSource = 0;
std::array<SignalWatch*, NSIG> signalWatches{};
int signalWatchCount = 0;
// Set by the handler, read by start-up's waits: plain flags are all a handler may touch.
volatile sig_atomic_t endsProgram[NSIG] = {};
volatile sig_atomic_t terminationArrived = 0;

extern "C" void writeSignalToPipe(int signal) {
  const int savedErrno = errno;
  if (endsProgram[signal]) terminationArrived = 1;
  const auto byte = static_cast<unsigned char>(signal);
  // A full pipe already holds a wake-up; losing a repeat of a signal loses nothing.
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
  errno = savedErrno;
}

gboolean readSignalPipe(gint fd, GIOCondition, gpointer) {
  unsigned char buffer[64];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  for (ssize_t i = 0; i < n; ++i) {
    // A burst of one signal is one call.
    if (i > 0 && buffer[i] == buffer[i - 1]) continue;
    SignalWatch::dispatch(buffer[i]);
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

SignalWatch::SignalWatch(int signal, std::function<void()> call)
    : signal_(signal), call_(std::move(call)) {
  assert(signal > 0 && signal < NSIG && !signalWatches[signal] && "one watch per signal");
  if (signalPipe[0] < 0 && pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    // Out of descriptors at start: the signal keeps its old disposition.
    signalPipe[0] = signalPipe[1] = -1;
    sigaction(signal_, nullptr, &previous_);
    return;
  }
  if (signalWatchCount++ == 0) {
    signalPipeSource = g_unix_fd_add(signalPipe[0], G_IO_IN, readSignalPipe, nullptr);
  }
  signalWatches[signal_] = this;
  struct sigaction action {};
  action.sa_handler = writeSignalToPipe;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal_, &action, &previous_);
}

SignalWatch::~SignalWatch() {
  if (signalWatches[signal_] != this) return;
  sigaction(signal_, &previous_, nullptr);
  signalWatches[signal_] = nullptr;
  if (--signalWatchCount == 0) {
    g_source_remove(signalPipeSource);
    signalPipeSource = 0;
    // Nothing left over may reach a watch made later.
    unsigned char buffer[64];
    while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
    }
  }
}

void SignalWatch::raiseDefault() {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  struct sigaction ours {};
  sigaction(signal_, &fallback, &ours);
  raise(signal_);
  sigaction(signal_, &ours, nullptr);
}

void SignalWatch::dispatch(int signal) {
  if (signal <= 0 || signal >= NSIG || !signalWatches[signal]) return;
  if (endsProgram[signal]) terminationArrived = 0;
  // A copy: the call may destroy its own watch.
  const std::function<void()> call = signalWatches[signal]->call_;
  if (call) call();
}

std::span<const int> GLibRunLoop::terminationSignals() { return kTerminationSignals; }

bool GLibRunLoop::terminationPending() { return terminationArrived != 0; }

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
  signalWatches_.clear();
  for (int signal : kTerminationSignals) endsProgram[signal] = 0;
  terminationArrived = 0;
  runLoop_.reset();
  g_source_destroy(source_);
  g_source_unref(source_);
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void GLibRunLoop::onTerminationSignals(std::function<void()> call) {
  onTerminate_ = std::move(call);
  if (!signalWatches_.empty()) return;
  for (int signal : kTerminationSignals) {
    // One ignored when the program started stays ignored: nohup's SIGHUP, the SIGINT and
    // SIGQUIT of a job a shell without job control runs in the background.
    struct sigaction found {};
    if (sigaction(signal, nullptr, &found) == 0 && found.sa_handler == SIG_IGN) continue;
    endsProgram[signal] = 1;
    signalWatches_.push_back(std::make_unique<SignalWatch>(signal, [this] {
      if (onTerminate_) onTerminate_();
    }));
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
