#include "platform/linux/StandardError.h"

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wayland-client-core.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/linux/ErrorQueue.h"
#include "platform/linux/LogRule.h"

namespace platform::linux_backend {

namespace {

class StandardError {
 public:
  StandardError() : queue_([this](std::string_view bytes) { return send(bytes); }) {}

  // A pipe or terminal is opened again through /proc and put in place of descriptor 2: a file
  // of the program's own on the same pipe or terminal, non-blocking without touching the flag
  // of the one it shares with whoever started it. Libraries that write to descriptor 2
  // themselves (fontconfig, a sanitizer's report) then cannot stall the program either. A
  // socket (a journal stream) gets MSG_DONTWAIT on the program's own messages; a regular file
  // never makes a writer wait for long.
  void open() {
    struct stat st {};
    if (fstat(STDERR_FILENO, &st) != 0) return;
    if (S_ISSOCK(st.st_mode)) {
      socket_ = true;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
      const int own = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      if (own >= 0) {
        dup2(own, STDERR_FILENO);
        close(own);
      } else if (S_ISCHR(st.st_mode)) {
        // A terminal the program may not open again (another user's): the flag on the shared
        // file would be left to the shell, so only the program's own messages are kept from
        // waiting, by asking first whether there is room.
        askFirst_ = true;
      } else {
        // No /proc, or a pipe whose reader is already gone: the shared flag then, put back at
        // the end.
        const int flags = fcntl(STDERR_FILENO, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK) &&
            fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK) == 0) {
          restoreFlags_ = flags;
        }
      }
    }
  }

  // What waits goes out from the default main context, which the loop runs (before it runs,
  // at drain()), through a source of its own that polls for room only while something waits.
  // Made once: a message written from inside GLib, with the context's lock held (GLib warns
  // so about misuse of a context), must not have to add a source, which takes that lock; all
  // it does is wake the context up, which takes none.
  void attach() {
    static GSourceFuncs funcs = {&StandardError::prepare,
                                 &StandardError::check,
                                 &StandardError::dispatch,
                                 nullptr,
                                 nullptr,
                                 nullptr};
    context_ = g_main_context_default();
    GSource* source = g_source_new(&funcs, sizeof(Source));
    reinterpret_cast<Source*>(source)->owner = this;
    g_source_set_name(source, "standard error");
    g_source_add_poll(source, &pollFd_);
    g_source_attach(source, context_);  // and kept, as this object, for the program's life
  }

  void write(std::string_view message) {
    bool waiting;
    {
      std::lock_guard lock(mutex_);
      queue_.write(message);
      waiting = queue_.waiting();
    }
    if (waiting && context_) g_main_context_wakeup(context_);
  }

  // A library's message: written only if the rule lets it through. One that ends the process
  // always is.
  void library(std::string_view domain, std::string_view message, std::string_view line,
               bool fatal) {
    {
      std::lock_guard lock(mutex_);
      const double now = static_cast<double>(g_get_monotonic_time()) / 1e6;
      if (!fatal && !rule_.admit(LogRule::kindOf(domain, message), now)) return;
    }
    write(std::string(line) + "\n");
  }

  void drain(double seconds) {
    using namespace std::chrono;
    const auto deadline =
        steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(seconds));
    std::lock_guard lock(mutex_);
    for (queue_.flush(); queue_.waiting(); queue_.flush()) {
      const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      if (left <= 0) break;
      pollfd fd{STDERR_FILENO, POLLOUT, 0};
      if (poll(&fd, 1, static_cast<int>(left)) == 1 && (fd.revents & (POLLHUP | POLLERR))) break;
    }
    if (restoreFlags_ >= 0) fcntl(STDERR_FILENO, F_SETFL, restoreFlags_);
    restoreFlags_ = -1;
  }

 private:
  std::optional<std::size_t> send(std::string_view bytes) {
    if (askFirst_) {
      pollfd fd{STDERR_FILENO, POLLOUT, 0};
      if (poll(&fd, 1, 0) != 1) return 0;
      if (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) return std::nullopt;
      // A terminal with room takes a line without waiting, not necessarily a screenful.
      bytes = bytes.substr(0, 256);
    }
    for (;;) {
      const ssize_t n =
          socket_ ? ::send(STDERR_FILENO, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                  : ::write(STDERR_FILENO, bytes.data(), bytes.size());
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return std::nullopt;  // closed, or its reader gone: nobody to tell
    }
  }

  struct Source {
    GSource base;
    StandardError* owner;
  };
  static StandardError& ownerOf(GSource* source) {
    return *reinterpret_cast<Source*>(source)->owner;
  }

  // GLib calls these without its context's lock, so they may take the mutex.
  static gboolean prepare(GSource* source, gint* timeout) {
    StandardError& self = ownerOf(source);
    *timeout = -1;
    std::lock_guard lock(self.mutex_);
    self.pollFd_.events = self.polling_ && self.queue_.waiting() ? G_IO_OUT : 0;
    return FALSE;
  }
  static gboolean check(GSource* source) {
    StandardError& self = ownerOf(source);
    std::lock_guard lock(self.mutex_);
    return self.polling_ && self.pollFd_.revents != 0;
  }
  static gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
    StandardError& self = ownerOf(source);
    bool stop = false;
    {
      std::lock_guard lock(self.mutex_);
      if (self.pollFd_.revents & G_IO_OUT) self.queue_.flush();
      // Error and hang-up are reported even when nothing is asked for: a reader that has gone
      // would otherwise wake the loop at every pass.
      if (self.queue_.gone() || (self.pollFd_.revents & (G_IO_ERR | G_IO_HUP | G_IO_NVAL))) {
        stop = self.polling_;
        self.polling_ = false;
      }
    }
    // Outside the mutex: removing the poll takes the context's lock.
    if (stop) g_source_remove_poll(source, &self.pollFd_);
    return G_SOURCE_CONTINUE;
  }

  std::mutex mutex_;
  bool socket_ = false;
  bool askFirst_ = false;
  int restoreFlags_ = -1;
  ErrorQueue queue_;
  LogRule rule_;
  GMainContext* context_ = nullptr;
  GPollFD pollFd_{STDERR_FILENO, 0, 0};
  bool polling_ = true;
};

// Never destroyed: a thread of a library may log while the process exits.
StandardError& standardError() {
  static auto* instance = new StandardError;
  return *instance;
}

GLogWriterOutput writeLog(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
  std::string_view domain, message;
  for (gsize i = 0; i < count; ++i) {
    const std::string_view key = fields[i].key;
    if (fields[i].length != -1) continue;  // binary fields are no text of ours
    if (key == "GLIB_DOMAIN") domain = static_cast<const char*>(fields[i].value);
    if (key == "MESSAGE") message = static_cast<const char*>(fields[i].value);
  }
  // Debug and informational messages stay off unless G_MESSAGES_DEBUG asks for them.
  const std::string domainText(domain);
  if (g_log_writer_default_would_drop(level, domain.empty() ? nullptr : domainText.c_str())) {
    return G_LOG_WRITER_HANDLED;
  }
  gchar* formatted = g_log_writer_format_fields(level, fields, count, FALSE);
  // GLib sets warnings apart with an empty line before them: a line of the log for nothing.
  std::string_view line = formatted;
  while (line.starts_with('\n')) line.remove_prefix(1);
  const bool fatal = (level & G_LOG_FLAG_FATAL) || (level & G_LOG_LEVEL_ERROR);
  standardError().library(domain, message, line, fatal);
  g_free(formatted);
  return G_LOG_WRITER_HANDLED;
}

void writePrinted(const gchar* text) {
  std::string_view line = text;
  while (line.ends_with('\n')) line.remove_suffix(1);
  if (!line.empty()) standardError().library("print", line, line, false);
}

void writeWaylandLog(const char* format, va_list arguments) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  std::string_view line = text;
  while (line.ends_with('\n')) line.remove_suffix(1);
  standardError().library("wayland", line, "sitting-timer: wayland: " + std::string(line), false);
}

}  // namespace

void installStandardError() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  standardError().open();
  standardError().attach();
  // GLib names the program in each message it formats: "(sitting-timer:PID): ...".
  if (!g_get_prgname()) g_set_prgname("sitting-timer");
  // A reader that has gone shows as a failed write, not as a signal that ends the program.
  signal(SIGPIPE, SIG_IGN);
  g_log_set_writer_func(writeLog, nullptr, nullptr);
  g_set_printerr_handler(writePrinted);
  // Standard output may be the bar itself: a library's g_print is a message for a person.
  g_set_print_handler(writePrinted);
  wl_log_set_handler_client(writeWaylandLog);
}

void writeStandardError(std::string_view message) { standardError().write(message); }

void drainStandardError(double seconds) { standardError().drain(seconds); }

}  // namespace platform::linux_backend
