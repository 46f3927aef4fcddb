// XEmbedStatusBar.h: the item in a system tray of the XEmbed kind (XEmbedStatusItem.h), and the
// choice between the two kinds of tray that `--status-bar=tray` makes.
#pragma once

#include <gio/gio.h>

#include <memory>
#include <string>

#include "platform/StatusBar.h"
#include "platform/linux/Providers.h"
#include "platform/linux/tray/NoTrayNotice.h"
#include "platform/linux/tray/TrayStatusBar.h"
#include "platform/linux/tray/XEmbedStatusItem.h"

namespace platform::linux_backend {

class XEmbedStatusBar final : public StatusBar {
 public:
  // The first item takes `connection`, made and waited for at start-up; later ones connect
  // anew.
  XEmbedStatusBar(std::unique_ptr<XConnection> connection, XEmbedOptions options);

  std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
  void writeMessageLine(std::string_view line) override;

 private:
  std::unique_ptr<XConnection> connection_;
  XEmbedOptions options_;
};

// The xembed provider's connect: the display within 2 s; tried by auto, a tray's owner too.
std::unique_ptr<StatusBar> connectXEmbed(LinuxContext& context, std::string& whyNot);

// The tray provider's connect: a StatusNotifierWatcher on the session bus, else an XEmbed
// tray's owner on the display. Tried by auto, one of them must be there; chosen by name, the
// item waits for either and takes the first that appears.
std::unique_ptr<StatusBar> connectAnyTray(LinuxContext& context, std::string& whyNot);

// Waits for either kind of tray and becomes the item of the first that appears: on a desktop
// that is still starting, the panel may bring either, or both (xfce's panel holds both).
class EitherTrayStatusItem final : public StatusItem {
 public:
  EitherTrayStatusItem(GDBusConnection* bus, int serial, std::unique_ptr<XConnection> connection,
                       TrayOptions options);
  ~EitherTrayStatusItem() override;
  EitherTrayStatusItem(const EitherTrayStatusItem&) = delete;
  EitherTrayStatusItem& operator=(const EitherTrayStatusItem&) = delete;

  void setAttributedTitle(const AttributedString& title) override;
  void setHighlightMode(bool) override {}

  // For tests: which kind it became, if any yet.
  StatusItem* chosen() const { return chosen_; }
  bool choseXEmbed() const { return chosen_ && chosen_ == xembed_.get(); }

 private:
  static void onWatcherAppeared(GDBusConnection*, const char*, const char*, void* self);
  void forward(StatusItem& item);
  void takeXEmbed();

  GDBusConnection* bus_;
  int serial_;
  TrayOptions options_;
  std::shared_ptr<NoTrayNotice> notice_;  // one for both kinds: given once per run
  unsigned watchId_ = 0;
  std::unique_ptr<XEmbedStatusItem> xembed_;
  std::unique_ptr<TrayStatusItem> sni_;
  StatusItem* chosen_ = nullptr;
  guint unwatchLater_ = 0;
  bool tookXEmbed_ = false;
  bool hasTitle_ = false;
  AttributedString title_;
};

class EitherTrayStatusBar final : public StatusBar {
 public:
  EitherTrayStatusBar(GDBusConnection* bus, std::unique_ptr<XConnection> connection,
                      TrayOptions options);
  ~EitherTrayStatusBar() override;

  std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
  void writeMessageLine(std::string_view line) override;

 private:
  // Owns the bus and says when it closes, as with the StatusNotifierItem alone.
  TrayStatusBar sni_;
  GDBusConnection* bus_;
  std::unique_ptr<XConnection> connection_;
  TrayOptions options_;
  int items_ = 0;
};

}  // namespace platform::linux_backend
