#include "platform/linux/bars/StdioStatusBar.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "platform/Application.h"
#include "platform/linux/StandardError.h"
#include "platform/linux/bars/I3barStatusItem.h"

namespace platform::linux_backend {

namespace {

bool writeErr(std::string_view bytes) {
  writeStandardError(bytes);
  return true;  // a closed standard error is no reason to stop
}

}  // namespace

StdioStatusBar::StdioStatusBar() : output_([this](std::string_view b) { return send(b); }) {
  // A bar that goes away must show up as a failed write, not as a signal that kills us before
  // the terminal is restored.
  signal(SIGPIPE, SIG_IGN);
  openOutput();
  inputSource_ =
      g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                    &StdioStatusBar::onInput, this);
}

StdioStatusBar::~StdioStatusBar() {
  if (inputSource_) g_source_remove(inputSource_);
  if (hangUpWatch_) g_source_remove(hangUpWatch_);
  if (writableWatch_) g_source_remove(writableWatch_);
  if (restoreFlags_ >= 0) fcntl(STDOUT_FILENO, F_SETFL, restoreFlags_);
  if (ownsOutputFd_) close(outputFd_);
}

// A write to standard output must never wait, but O_NONBLOCK belongs to the open file, which
// the program shares with whoever started it: set on an inherited terminal, it would be left to
// the shell. So a pipe or terminal is opened again through /proc, which gives the program a file
// of its own on the same pipe or terminal; a socket takes MSG_DONTWAIT per call; a regular file
// never makes a writer wait for long and is written as it is.
void StdioStatusBar::openOutput() {
  outputFd_ = STDOUT_FILENO;
  struct stat st {};
  if (fstat(STDOUT_FILENO, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
    outputKind_ = OutputKind::file;
    return;
  }
  if (S_ISSOCK(st.st_mode)) {
    outputKind_ = OutputKind::socket;
  } else {
    outputKind_ = OutputKind::stream;
    const int own = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
      outputFd_ = own;
      ownsOutputFd_ = true;
    } else {
      // No /proc, or a pipe whose reader is already gone: the shared flag then, put back at
      // the end. A gone reader shows at the first write.
      const int flags = fcntl(STDOUT_FILENO, F_GETFL);
      if (flags >= 0 && !(flags & O_NONBLOCK) &&
          fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK) == 0) {
        restoreFlags_ = flags;
      }
    }
  }
  // Hang-up and error are always reported, whatever is asked for: a pipe whose reader has gone
  // polls as an error, a terminal that has gone as a hang-up.
  hangUpWatch_ = g_unix_fd_add(outputFd_, static_cast<GIOCondition>(G_IO_HUP | G_IO_ERR),
                               &StdioStatusBar::onOutputHangUp, this);
}

std::optional<std::size_t> StdioStatusBar::send(std::string_view bytes) {
  for (;;) {
    const ssize_t n =
        outputKind_ == OutputKind::socket
            ? ::send(outputFd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
            : ::write(outputFd_, bytes.data(), bytes.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return std::nullopt;
  }
}

bool StdioStatusBar::written(bool ok) {
  if (!ok || output_.gone()) {
    outputGone();
    return false;
  }
  if (output_.waiting() && !writableWatch_) {
    writableWatch_ = g_unix_fd_add(outputFd_, G_IO_OUT, &StdioStatusBar::onOutputWritable, this);
  }
  return true;
}

gboolean StdioStatusBar::onOutputWritable(gint, GIOCondition, gpointer data) {
  auto& self = *static_cast<StdioStatusBar*>(data);
  if (!self.output_.flush()) {
    self.writableWatch_ = 0;
    self.outputGone();
    return G_SOURCE_REMOVE;
  }
  if (self.output_.waiting()) return G_SOURCE_CONTINUE;
  self.writableWatch_ = 0;
  return G_SOURCE_REMOVE;
}

gboolean StdioStatusBar::onOutputHangUp(gint, GIOCondition, gpointer data) {
  auto& self = *static_cast<StdioStatusBar*>(data);
  self.hangUpWatch_ = 0;
  self.outputGone();
  return G_SOURCE_REMOVE;
}

bool StdioStatusBar::outputHungUp() const {
  if (outputKind_ == OutputKind::file) return false;
  pollfd fd{outputFd_, 0, 0};
  return poll(&fd, 1, 0) == 1 && (fd.revents & (POLLHUP | POLLERR));
}

void StdioStatusBar::outputGone() {
  output_.lose();
  if (hangUpWatch_) g_source_remove(hangUpWatch_);
  if (writableWatch_) g_source_remove(writableWatch_);
  hangUpWatch_ = writableWatch_ = 0;
  // The item's callback ends the program: that is how bars stop us.
  if (item_) item_->outputLost();
}

void StdioStatusBar::drain(double seconds) {
  using namespace std::chrono;
  const auto deadline =
      steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(seconds));
  while (output_.flush() && output_.waiting()) {
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) break;
    pollfd fd{outputFd_, POLLOUT, 0};
    if (poll(&fd, 1, static_cast<int>(left)) == 1 && (fd.revents & (POLLHUP | POLLERR))) break;
  }
}

void StdioStatusBar::readInputFrom(int fd) {
  if (inputSource_) g_source_remove(inputSource_);
  inputSource_ = fd < 0
                     ? 0
                     : g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                     &StdioStatusBar::onInput, this);
}

std::unique_ptr<StatusItem> StdioStatusBar::statusItemWithLength(double) {
  std::unique_ptr<LinuxStatusItem> item =
      makeItem([this](std::string_view bytes) { return written(output_.write(bytes)); }, writeErr,
               &GLibRunLoop::monotonicNow);
  item->setFrameWriter(
      [this](std::string_view frame) { return written(output_.writeFrame(frame)); },
      [this] { return output_.frameWaiting(); });
  item->setOnOutputClosed([] { NSApp().terminate(); });
  item->setOnDestroyed([this] {
    item_ = nullptr;
    drain(0.25);
  });
  item_ = item.get();
  // A reader gone before the item could say so: its constructor writes.
  if (output_.gone()) NSApp().terminate();
  return item;
}

void StdioStatusBar::writeMessageLine(std::string_view line) {
  if (item_) {
    item_->writeMessageLine(line);
  } else {
    writeErr(std::string(line) + "\n");
  }
}

gboolean StdioStatusBar::onInput(gint fd, GIOCondition, gpointer data) {
  auto& self = *static_cast<StdioStatusBar*>(data);
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return G_SOURCE_CONTINUE;
  if (n <= 0) {
    // The bar closed our input: no more clicks, but the title goes on, unless the bar has gone
    // altogether (a bar may close our input and still read the titles).
    self.inputSource_ = 0;
    if (self.outputHungUp()) self.outputGone();
    return G_SOURCE_REMOVE;
  }
  if (self.item_) self.item_->consumeInput(std::string_view(buffer, static_cast<std::size_t>(n)));
  return G_SOURCE_CONTINUE;
}

I3barStatusBar::I3barStatusBar() {
  // i3 sets I3SOCK for what its bars start, sway SWAYSOCK (and I3SOCK too).
  const char* socket = std::getenv("I3SOCK");
  if (!socket || !*socket) socket = std::getenv("SWAYSOCK");
  if (!socket || !*socket) return;
  colorsQuery_ = std::make_unique<I3barColorsQuery>(
      socket,
      [this](const BarColors& colors) {
        colors_ = colors;
        if (item()) static_cast<I3barStatusItem*>(item())->setBarColors(colors_);
      },
      [this](const std::string& why) {
        writeMessageLine(
            "sitting-timer: i3bar: can't read the bar's colours from the window "
            "manager (" +
            why + "); drawing colours that read on any bar");
      });
}

I3barStatusBar::~I3barStatusBar() = default;

std::unique_ptr<LinuxStatusItem> I3barStatusBar::makeItem(LinuxStatusItem::Writer out,
                                                          LinuxStatusItem::Writer messages,
                                                          LinuxStatusItem::Clock clock) {
  auto item =
      std::make_unique<I3barStatusItem>(std::move(out), std::move(messages), std::move(clock));
  item->setBarColors(colors_);
  return item;
}

}  // namespace platform::linux_backend
