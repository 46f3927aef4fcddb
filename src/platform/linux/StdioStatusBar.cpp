#include "platform/linux/StdioStatusBar.h"

#include <errno.h>
#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>

#include "platform/Application.h"
#include "platform/linux/I3barStatusItem.h"

namespace platform::linux_backend {

namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool writeOut(std::string_view bytes) { return writeAll(STDOUT_FILENO, bytes); }
bool writeErr(std::string_view bytes) {
  writeAll(STDERR_FILENO, bytes);
  return true;  // a closed standard error is no reason to stop
}

}  // namespace

StdioStatusBar::StdioStatusBar() {
  // A bar that goes away must show up as a failed write, not as a signal that kills us before
  // the terminal is restored.
  signal(SIGPIPE, SIG_IGN);
  inputSource_ =
      g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                    &StdioStatusBar::onInput, this);
}

StdioStatusBar::~StdioStatusBar() {
  if (inputSource_) g_source_remove(inputSource_);
}

void StdioStatusBar::readInputFrom(int fd) {
  if (inputSource_) g_source_remove(inputSource_);
  inputSource_ = fd < 0
                     ? 0
                     : g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                     &StdioStatusBar::onInput, this);
}

std::unique_ptr<StatusItem> StdioStatusBar::statusItemWithLength(double) {
  std::unique_ptr<LinuxStatusItem> item = makeItem(writeOut, writeErr, &GLibRunLoop::monotonicNow);
  // A bar that has gone ends the program in order, with success: that is how bars stop us.
  item->setOnOutputClosed([] { NSApp().terminate(); });
  item->setOnDestroyed([this] { item_ = nullptr; });
  item_ = item.get();
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
    // The bar closed our input: no more clicks, but the title goes on.
    self.inputSource_ = 0;
    return G_SOURCE_REMOVE;
  }
  if (self.item_) self.item_->consumeInput(std::string_view(buffer, static_cast<std::size_t>(n)));
  return G_SOURCE_CONTINUE;
}

std::unique_ptr<LinuxStatusItem> I3barStatusBar::makeItem(LinuxStatusItem::Writer out,
                                                          LinuxStatusItem::Writer messages,
                                                          LinuxStatusItem::Clock clock) {
  return std::make_unique<I3barStatusItem>(std::move(out), std::move(messages), std::move(clock));
}

}  // namespace platform::linux_backend
