// StdioStatusBar.h: the bars a status command draws on its own standard output, with clicks
// coming in on standard input: the i3bar protocol (i3bar, swaybar) and one terminal line.
#pragma once

#include <glib.h>

#include <memory>
#include <optional>
#include <vector>

#include "platform/StatusBar.h"
#include "platform/linux/GLibRunLoop.h"
#include "platform/linux/bars/BarOutput.h"
#include "platform/linux/bars/I3barColors.h"
#include "platform/linux/bars/LinuxStatusItem.h"

namespace platform::linux_backend {

// Standard output never blocks the program: a bar that reads slowly gets the newest title when
// it reads again, and one that has gone (its end of the pipe closed, the terminal hung up) ends
// the program in order, with success, at once rather than at the next title.
class StdioStatusBar : public StatusBar {
 public:
  ~StdioStatusBar() override;
  StdioStatusBar(const StdioStatusBar&) = delete;
  StdioStatusBar& operator=(const StdioStatusBar&) = delete;

  std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
  // Standard output carries the bar; the item puts the line where it does not break it.
  void writeMessageLine(std::string_view line) override;

 protected:
  StdioStatusBar();
  virtual std::unique_ptr<LinuxStatusItem> makeItem(LinuxStatusItem::Writer out,
                                                    LinuxStatusItem::Writer messages,
                                                    LinuxStatusItem::Clock clock) = 0;
  LinuxStatusItem* item() const { return item_; }
  // Reads the item's input from `fd` instead of standard input; -1 stops reading. The caller
  // keeps `fd` open while it is read.
  void readInputFrom(int fd);

 private:
  static gboolean onInput(gint fd, GIOCondition condition, gpointer self);
  static gboolean onOutputWritable(gint fd, GIOCondition condition, gpointer self);
  static gboolean onOutputHangUp(gint fd, GIOCondition condition, gpointer self);

  void openOutput();
  std::optional<std::size_t> send(std::string_view bytes);
  // After each write: watches for room while something waits, and ends on a lost reader.
  bool written(bool ok);
  bool outputHungUp() const;
  void outputGone();
  // At the end: gives what still waits (a terminal's restore sequences) a short while to go out.
  void drain(double seconds);

  enum class OutputKind { stream, socket, file };
  OutputKind outputKind_ = OutputKind::file;
  int outputFd_ = -1;
  bool ownsOutputFd_ = false;
  int restoreFlags_ = -1;  // standard output's flags, where they had to be changed
  BarOutput output_;
  LinuxStatusItem* item_ = nullptr;
  guint inputSource_ = 0;
  guint hangUpWatch_ = 0;
  guint writableWatch_ = 0;
};

// i3bar, swaybar and other bars that read the i3bar protocol from a status command. Where the
// window manager's IPC socket is at hand, the bar's colours come from there; elsewhere (another
// reader of the protocol) the item is drawn in colours that read on any bar.
class I3barStatusBar final : public StdioStatusBar {
 public:
  I3barStatusBar();
  ~I3barStatusBar() override;

 protected:
  std::unique_ptr<LinuxStatusItem> makeItem(LinuxStatusItem::Writer out,
                                            LinuxStatusItem::Writer messages,
                                            LinuxStatusItem::Clock clock) override;

 private:
  BarColors colors_;
  std::unique_ptr<I3barColorsQuery> colorsQuery_;
};

}  // namespace platform::linux_backend
