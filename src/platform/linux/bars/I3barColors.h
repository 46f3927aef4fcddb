// I3barColors.h: the colours of the i3bar or swaybar that runs the program, asked of the window
// manager over its IPC socket (I3SOCK, SWAYSOCK): which bars there are, each bar's
// configuration, and a new one when the configuration is reloaded. The socket is one more
// server that can stall or vanish: nothing here waits for it, and an answer takes effect from
// the next title.
#pragma once

#include <glib.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/BarColors.h"

namespace platform::linux_backend {

namespace i3ipc {

inline constexpr std::uint32_t kSubscribe = 2;
inline constexpr std::uint32_t kGetBarConfig = 6;
inline constexpr std::uint32_t kEventFlag = 0x80000000u;
inline constexpr std::uint32_t kBarconfigUpdateEvent = kEventFlag | 4;

// One message: the magic "i3-ipc", the payload's length and the type in native byte order, the
// payload.
std::string encode(std::uint32_t type, std::string_view payload);

struct Message {
  std::uint32_t type;
  std::string payload;
};

// Messages out of bytes that come in pieces of any size. A stream that is not the protocol, or
// a message longer than kMaxPayload, breaks it for good.
class MessageReader {
 public:
  static constexpr std::size_t kMaxPayload = std::size_t{1} << 20;

  void feed(std::string_view bytes);
  std::optional<Message> next();
  bool broken() const { return broken_; }

 private:
  std::string buffer_;
  bool broken_ = false;
};

struct BarConfig {
  std::string id;
  std::string statusCommand;
  BarColors colors;
};

// "#rrggbb" or "#rrggbbaa".
std::optional<Rgba> parseHexColor(std::string_view text);
// The reply to GET_BAR_CONFIG without a payload: the bars' ids.
std::optional<std::vector<std::string>> parseBarIds(std::string_view json);
// The reply to GET_BAR_CONFIG with an id, and the barconfig_update event. A colour the
// configuration does not set is the bars' default: white text on black.
std::optional<BarConfig> parseBarConfig(std::string_view json);

// The ids a bar's command line gives (i3bar --bar_id=ID, swaybar -b ID).
std::vector<std::string> barIdsInCommandLine(const std::vector<std::string>& args);

// The bar that runs the program: the one whose id an ancestor process was started with, else
// the one whose status command names the program, else the only one.
std::optional<std::size_t> chooseBar(const std::vector<BarConfig>& bars,
                                     const std::vector<std::string>& ancestorBarIds,
                                     std::string_view programName);

// The bar ids on the command lines of the program's ancestors (a few levels up, from /proc).
std::vector<std::string> ancestorBarIds();

}  // namespace i3ipc

// Asks the window manager at `socketPath` for the colours of the bar that runs the program, on
// GLib's default main context, and follows reloads of the bar configuration. `onColors` gets
// them each time they are known; nothing is called while they are not. A connection that fails
// or goes unanswered for kAnswerTimeout is closed and tried again kRetryDelay later; the first
// failure is told to `onFailure` once, and again only after an answer in between. A connection
// lost after its answer is made again quietly.
class I3barColorsQuery {
 public:
  static constexpr double kAnswerTimeout = 5.0;
  static constexpr double kRetryDelay = 10.0;

  I3barColorsQuery(std::string socketPath, std::function<void(const BarColors&)> onColors,
                   std::function<void(const std::string&)> onFailure = {});
  ~I3barColorsQuery();
  I3barColorsQuery(const I3barColorsQuery&) = delete;
  I3barColorsQuery& operator=(const I3barColorsQuery&) = delete;

  bool connected() const { return fd_ >= 0; }

 private:
  static gboolean onReadable(gint fd, GIOCondition condition, gpointer self);
  void connect();
  void fail(const std::string& why);
  void close();
  bool send(std::uint32_t type, std::string_view payload);
  void handle(const i3ipc::Message& message);
  void configsComplete();
  void armTimer(double seconds, bool retry);

  std::string socketPath_;
  std::function<void(const BarColors&)> onColors_;
  std::function<void(const std::string&)> onFailure_;
  std::vector<std::string> ancestorIds_;
  std::string programName_;
  int fd_ = -1;
  guint watch_ = 0;
  guint timer_ = 0;
  i3ipc::MessageReader reader_;
  std::size_t configsWanted_ = 0;
  std::vector<i3ipc::BarConfig> configs_;
  std::optional<std::string> chosenId_;
  bool answered_ = false;  // the current connection has told the colours
  bool failureTold_ = false;
};

}  // namespace platform::linux_backend
