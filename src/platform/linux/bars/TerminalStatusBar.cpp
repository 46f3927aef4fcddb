#include "platform/linux/bars/TerminalStatusBar.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform::linux_backend {

namespace {

bool sameTerminal(int a, int b) {
  struct stat sa {
  }, sb{};
  return isatty(a) && isatty(b) && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 &&
         sa.st_rdev == sb.st_rdev;
}

int columns() {
  winsize size{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool sameMode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool ignoredAtStart(int signal) {
  struct sigaction found {};
  return sigaction(signal, nullptr, &found) == 0 && found.sa_handler == SIG_IGN;
}

}  // namespace

TerminalStatusBar::TerminalStatusBar(Stop stop) : stop_(std::move(stop)) {
  if (sameTerminal(STDIN_FILENO, STDOUT_FILENO)) {
    input_ = STDIN_FILENO;
  } else if (isatty(STDOUT_FILENO) && tcgetsid(STDOUT_FILENO) == getsid(0)) {
    // Standard output is this session's controlling terminal, so /dev/tty reaches it.
    ownTerminal_ = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    input_ = ownTerminal_;
  }
  traits_ = terminalTraits(std::getenv("TERM"), std::getenv("NO_COLOR"), input_ >= 0);
  traits_.columns = columns;
  if (!traits_.mouse && ownTerminal_ >= 0) {
    close(ownTerminal_);
    ownTerminal_ = -1;
  }
  if (!traits_.mouse) input_ = -1;
  // Input that is not the terminal's cannot hold a click; reading it would only cost time.
  if (input_ != STDIN_FILENO) readInputFrom(input_);

  if (traits_.mouse) takeMode();
  if (traits_.sequences) {
    if (!ignoredAtStart(SIGTSTP)) {
      stopWatch_ = std::make_unique<SignalWatch>(SIGTSTP, [this] { stopping(); });
    }
    continueWatch_ = std::make_unique<SignalWatch>(SIGCONT, [this] { continued(); });
  }
  resizeSource_ = g_unix_signal_add(
      SIGWINCH,
      [](gpointer data) -> gboolean {
        auto& self = *static_cast<TerminalStatusBar*>(data);
        if (self.item()) self.item()->terminalResized();
        return G_SOURCE_CONTINUE;
      },
      this);
}

TerminalStatusBar::~TerminalStatusBar() {
  stopWatch_.reset();
  continueWatch_.reset();
  if (resizeSource_) g_source_remove(resizeSource_);
  // The item has turned mouse reporting off and asked its last question.
  if (madeItem_) discardAnswers();
  giveModeBack();
  readInputFrom(-1);
  if (ownTerminal_ >= 0) close(ownTerminal_);
}

std::unique_ptr<LinuxStatusItem> TerminalStatusBar::makeItem(LinuxStatusItem::Writer out,
                                                             LinuxStatusItem::Writer messages,
                                                             LinuxStatusItem::Clock clock) {
  madeItem_ = true;
  return std::make_unique<TerminalStatusItem>(std::move(out), std::move(messages), std::move(clock),
                                              traits_);
}

void TerminalStatusBar::takeMode() {
  termios now{};
  if (input_ < 0 || tcgetattr(input_, &now) != 0) return;
  // What the user set while the program was stopped is what they get back; only the bar's own
  // mode, still in place after a stop it could not see (SIGSTOP), is not.
  if (!found_ || !(modeSet_ && sameMode(now, mode_))) found_ = now;
  mode_ = *found_;
  // Mouse reports must arrive unbuffered and unechoed. Ctrl-C, Ctrl-\ and Ctrl-Z keep their
  // signals: each ends or stops the program through a path that gives the terminal back.
  mode_.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  mode_.c_cc[VMIN] = 1;
  mode_.c_cc[VTIME] = 0;
  // In the background this stops the process (SIGTTOU) until it is in the foreground again.
  if (tcsetattr(input_, TCSANOW, &mode_) == 0) modeSet_ = true;
}

void TerminalStatusBar::giveModeBack() {
  if (!modeSet_) return;
  tcsetattr(input_, TCSANOW, &*found_);
  modeSet_ = false;
}

void TerminalStatusBar::discardAnswers() {
  if (input_ < 0) return;
  // The item's last question was asked after mouse reporting went off, and a terminal answers
  // in order: once its answer is in, nothing more is on the way, and what came before it goes
  // too, so that the shell never reads a report as typed text. Over a slow link that takes a
  // round trip; a terminal that never answers costs 0.4 s, at the end or a stop only, short
  // enough that a signal still ends the program within a second.
  // Timed on the monotonic clock alone: poll's own timeout may be scaled by a clock faker.
  const double start = GLibRunLoop::monotonicNow();
  double lastRead = start;
  bool answered = false;
  for (;;) {
    const double now = GLibRunLoop::monotonicNow();
    // After an answer, a short quiet spell says the rest has come.
    if (now - start >= 0.4 || (answered && now - lastRead >= 0.03)) break;
    pollfd p{input_, POLLIN, 0};
    const int ready = poll(&p, 1, 10);
    if (ready <= 0) continue;
    if (!(p.revents & POLLIN)) break;
    char buffer[256];
    const ssize_t n = ::read(input_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    lastRead = GLibRunLoop::monotonicNow();
    if (std::memchr(buffer, 'R', static_cast<std::size_t>(n))) answered = true;
  }
  tcflush(input_, TCIFLUSH);
}

void TerminalStatusBar::stopping() {
  if (TerminalStatusItem* item = terminalItem()) {
    item->suspend();
    if (traits_.mouse) discardAnswers();
  }
  giveModeBack();
  if (stop_) {
    stop_();
  } else {
    // Stopping as the signal's default action does (not SIGSTOP): the kernel then discards it
    // where no shell could ever continue the program (an orphaned process group).
    stopWatch_->raiseDefault();
  }
  continued();
}

void TerminalStatusBar::continued() {
  if (traits_.mouse) takeMode();
  if (TerminalStatusItem* item = terminalItem()) item->resume();
}

}  // namespace platform::linux_backend
