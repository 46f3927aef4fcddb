// StdioStatusBar.h: the bars a status command draws on its own standard output, with clicks
// coming in on standard input: the i3bar protocol (i3bar, swaybar) and one terminal line.
#pragma once

#include <glib.h>

#include <memory>
#include <vector>

#include "platform/StatusBar.h"
#include "platform/linux/GLibRunLoop.h"
#include "platform/linux/LinuxStatusItem.h"

namespace platform::linux_backend {

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

  LinuxStatusItem* item_ = nullptr;
  guint inputSource_ = 0;
};

// i3bar, swaybar and other bars that read the i3bar protocol from a status command.
class I3barStatusBar final : public StdioStatusBar {
 protected:
  std::unique_ptr<LinuxStatusItem> makeItem(LinuxStatusItem::Writer out,
                                            LinuxStatusItem::Writer messages,
                                            LinuxStatusItem::Clock clock) override;
};

}  // namespace platform::linux_backend
