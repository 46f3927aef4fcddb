#include "platform/linux/bars/I3barColors.h"

#include <errno.h>
#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

namespace platform::linux_backend {

namespace i3ipc {

namespace {

constexpr std::string_view kMagic = "i3-ipc";
constexpr std::size_t kHeader = kMagic.size() + 2 * sizeof(std::uint32_t);
// i3bar's and swaybar's own defaults, which i3 leaves out of a bar's configuration.
constexpr Rgba kDefaultText{1, 1, 1, 1};
constexpr Rgba kDefaultBackground{0, 0, 0, 1};

std::optional<Rgba> colorAt(const nlohmann::json& colors, const char* key) {
  const auto found = colors.find(key);
  if (found == colors.end() || !found->is_string()) return std::nullopt;
  return parseHexColor(found->get<std::string>());
}

}  // namespace

std::string encode(std::uint32_t type, std::string_view payload) {
  const auto length = static_cast<std::uint32_t>(payload.size());
  std::string out(kMagic);
  out.append(reinterpret_cast<const char*>(&length), sizeof length);
  out.append(reinterpret_cast<const char*>(&type), sizeof type);
  out.append(payload);
  return out;
}

void MessageReader::feed(std::string_view bytes) {
  if (!broken_) buffer_.append(bytes);
}

std::optional<Message> MessageReader::next() {
  if (broken_ || buffer_.size() < kHeader) {
    // Even a short start that is not the magic is no protocol.
    const std::size_t n = std::min(buffer_.size(), kMagic.size());
    if (!broken_ && buffer_.compare(0, n, kMagic, 0, n) != 0) {
      broken_ = true;
    }
    return std::nullopt;
  }
  if (buffer_.compare(0, kMagic.size(), kMagic) != 0) {
    broken_ = true;
    return std::nullopt;
  }
  std::uint32_t length = 0, type = 0;
  std::memcpy(&length, buffer_.data() + kMagic.size(), sizeof length);
  std::memcpy(&type, buffer_.data() + kMagic.size() + sizeof length, sizeof type);
  if (length > kMaxPayload) {
    broken_ = true;
    buffer_.clear();
    return std::nullopt;
  }
  if (buffer_.size() < kHeader + length) return std::nullopt;
  Message message{type, buffer_.substr(kHeader, length)};
  buffer_.erase(0, kHeader + length);
  return message;
}

std::optional<Rgba> parseHexColor(std::string_view text) {
  if (text.size() != 7 && text.size() != 9) return std::nullopt;
  if (text.front() != '#') return std::nullopt;
  double c[4] = {0, 0, 0, 1};
  for (std::size_t i = 0; i * 2 + 1 < text.size(); ++i) {
    unsigned value = 0;
    const char* begin = text.data() + 1 + i * 2;
    const auto [end, ec] = std::from_chars(begin, begin + 2, value, 16);
    if (ec != std::errc() || end != begin + 2) return std::nullopt;
    c[i] = value / 255.0;
  }
  return Rgba{c[0], c[1], c[2], c[3]};
}

std::optional<std::vector<std::string>> parseBarIds(std::string_view json) {
  const nlohmann::json value = nlohmann::json::parse(json, nullptr, false);
  if (!value.is_array()) return std::nullopt;
  std::vector<std::string> ids;
  for (const auto& id : value) {
    if (!id.is_string()) return std::nullopt;
    ids.push_back(id.get<std::string>());
  }
  return ids;
}

std::optional<BarConfig> parseBarConfig(std::string_view json) {
  const nlohmann::json value = nlohmann::json::parse(json, nullptr, false);
  if (!value.is_object()) return std::nullopt;
  const auto id = value.find("id");
  if (id == value.end() || !id->is_string()) return std::nullopt;
  BarConfig config;
  config.id = id->get<std::string>();
  if (const auto command = value.find("status_command");
      command != value.end() && command->is_string()) {
    config.statusCommand = command->get<std::string>();
  }
  static const nlohmann::json kNoColors = nlohmann::json::object();
  const auto found = value.find("colors");
  const nlohmann::json& colors = found != value.end() && found->is_object() ? *found : kNoColors;
  const Rgba text = colorAt(colors, "statusline").value_or(kDefaultText);
  const Rgba background = colorAt(colors, "background").value_or(kDefaultBackground);
  // The focused output's bar may have colours of its own; where unset they are the others.
  const Rgba focusedText = colorAt(colors, "focused_statusline").value_or(text);
  const Rgba focusedBackground = colorAt(colors, "focused_background").value_or(background);
  // A translucent bar shows whatever lies beneath it: its background is not known.
  if (background.alpha < 1.0 || focusedBackground.alpha < 1.0) return config;
  config.colors.backgrounds.push_back(background);
  if (focusedBackground != background) config.colors.backgrounds.push_back(focusedBackground);
  // Two text colours cannot both be the start of one ramp.
  if (focusedText == text) config.colors.text = Rgba{text.red, text.green, text.blue, 1.0};
  return config;
}

std::vector<std::string> barIdsInCommandLine(const std::vector<std::string>& args) {
  std::vector<std::string> ids;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if ((arg == "-b" || arg == "--bar_id") && i + 1 < args.size()) {
      ids.push_back(args[++i]);
    } else if (arg.starts_with("--bar_id=")) {
      ids.emplace_back(arg.substr(std::string_view("--bar_id=").size()));
    }
  }
  return ids;
}

std::optional<std::size_t> chooseBar(const std::vector<BarConfig>& bars,
                                     const std::vector<std::string>& ancestorBarIds,
                                     std::string_view programName) {
  for (const std::string& id : ancestorBarIds) {
    for (std::size_t i = 0; i < bars.size(); ++i) {
      if (bars[i].id == id) return i;
    }
  }
  std::optional<std::size_t> naming;
  if (!programName.empty()) {
    for (std::size_t i = 0; i < bars.size(); ++i) {
      if (bars[i].statusCommand.find(programName) == std::string::npos) continue;
      if (naming) return std::nullopt;  // two bars run it: which one is this?
      naming = i;
    }
  }
  if (naming) return naming;
  if (bars.size() == 1) return 0;
  return std::nullopt;
}

std::vector<std::string> ancestorBarIds() {
  std::vector<std::string> ids;
  pid_t pid = getppid();
  // The bar runs its status command through a shell, which may run it through another.
  for (int level = 0; level < 6 && pid > 1; ++level) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream cmdline(dir + "/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(cmdline)),
                          std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    std::istringstream split(all);
    for (std::string arg; std::getline(split, arg, '\0');) args.push_back(arg);
    for (std::string& id : barIdsInCommandLine(args)) ids.push_back(std::move(id));
    std::ifstream stat(dir + "/stat");
    const std::string line((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) break;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    long parent = 0;
    if (!(rest >> state >> parent)) break;
    pid = static_cast<pid_t>(parent);
  }
  return ids;
}

}  // namespace i3ipc

namespace {

std::string programName() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  const std::string_view full(path, static_cast<std::size_t>(n));
  return std::string(full.substr(full.rfind('/') + 1));
}

}  // namespace

I3barColorsQuery::I3barColorsQuery(std::string socketPath,
                                   std::function<void(const BarColors&)> onColors,
                                   std::function<void(const std::string&)> onFailure)
    : socketPath_(std::move(socketPath)),
      onColors_(std::move(onColors)),
      onFailure_(std::move(onFailure)),
      ancestorIds_(i3ipc::ancestorBarIds()),
      programName_(programName()) {
  connect();
}

I3barColorsQuery::~I3barColorsQuery() {
  close();
  if (timer_) g_source_remove(timer_);
}

void I3barColorsQuery::close() {
  if (watch_) g_source_remove(watch_);
  watch_ = 0;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  reader_ = {};
  configs_.clear();
  configsWanted_ = 0;
  answered_ = false;
}

void I3barColorsQuery::armTimer(double seconds, bool retry) {
  if (timer_) g_source_remove(timer_);
  auto* self = this;
  timer_ = g_timeout_add(
      static_cast<guint>(std::ceil(seconds * 1000.0)),
      retry ? +[](gpointer data) -> gboolean {
        auto* query = static_cast<I3barColorsQuery*>(data);
        query->timer_ = 0;
        query->connect();
        return G_SOURCE_REMOVE;
      }
            : +[](gpointer data) -> gboolean {
                auto* query = static_cast<I3barColorsQuery*>(data);
                query->timer_ = 0;
                query->fail("no answer within " +
                            std::to_string(static_cast<int>(kAnswerTimeout)) + " s");
                return G_SOURCE_REMOVE;
              },
      self);
}

void I3barColorsQuery::connect() {
  close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.empty() || socketPath_.size() >= sizeof address.sun_path) {
    fail("not a socket path");
    return;
  }
  std::memcpy(address.sun_path, socketPath_.data(), socketPath_.size());
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    fail(std::strerror(errno));
    return;
  }
  // A local socket connects at once or not at all; a full backlog is a failure, not a wait.
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail(std::strerror(errno));
    return;
  }
  watch_ = g_unix_fd_add(fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                         &I3barColorsQuery::onReadable, this);
  if (!send(i3ipc::kSubscribe, R"(["barconfig_update"])") || !send(i3ipc::kGetBarConfig, "")) {
    return;
  }
  armTimer(kAnswerTimeout, false);
}

bool I3barColorsQuery::send(std::uint32_t type, std::string_view payload) {
  const std::string message = i3ipc::encode(type, payload);
  ssize_t n;
  do {
    n = ::send(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  // A question is a few dozen bytes: a socket that cannot take it at once is stuck.
  if (n != static_cast<ssize_t>(message.size())) {
    fail(n < 0 ? std::strerror(errno) : "the socket takes no more");
    return false;
  }
  return true;
}

void I3barColorsQuery::fail(const std::string& why) {
  // A connection lost after it told the colours (the window manager restarting) loses nothing
  // worth a word: the colours stay, and are asked again.
  const bool hadAnswered = answered_;
  close();
  if (!hadAnswered && !failureTold_ && onFailure_) onFailure_(why);
  failureTold_ = failureTold_ || !hadAnswered;
  armTimer(kRetryDelay, true);
}

gboolean I3barColorsQuery::onReadable(gint fd, GIOCondition, gpointer data) {
  auto& self = *static_cast<I3barColorsQuery*>(data);
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      self.watch_ = 0;
      self.fail(n == 0 ? "the window manager closed the connection" : std::strerror(errno));
      return G_SOURCE_REMOVE;
    }
    self.reader_.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    while (std::optional<i3ipc::Message> message = self.reader_.next()) {
      self.handle(*message);
      if (self.fd_ < 0) return G_SOURCE_REMOVE;  // failed, and a retry is set
    }
    if (self.reader_.broken()) {
      self.watch_ = 0;
      self.fail("the answer is not the window manager's IPC");
      return G_SOURCE_REMOVE;
    }
  }
  return G_SOURCE_CONTINUE;
}

void I3barColorsQuery::handle(const i3ipc::Message& message) {
  if (message.type == i3ipc::kBarconfigUpdateEvent) {
    const std::optional<i3ipc::BarConfig> config = i3ipc::parseBarConfig(message.payload);
    if (config && chosenId_ && config->id == *chosenId_) onColors_(config->colors);
    return;
  }
  if (message.type != i3ipc::kGetBarConfig) return;  // the subscription's answer
  if (std::optional<std::vector<std::string>> ids = i3ipc::parseBarIds(message.payload)) {
    configs_.clear();
    configsWanted_ = ids->size();
    for (const std::string& id : *ids) {
      if (!send(i3ipc::kGetBarConfig, id)) return;
    }
    if (ids->empty()) configsComplete();
    return;
  }
  std::optional<i3ipc::BarConfig> config = i3ipc::parseBarConfig(message.payload);
  if (!config) {
    fail("an answer that is no bar configuration");
    return;
  }
  configs_.push_back(std::move(*config));
  if (configs_.size() == configsWanted_) configsComplete();
}

void I3barColorsQuery::configsComplete() {
  answered_ = true;
  failureTold_ = false;
  if (timer_) g_source_remove(timer_);
  timer_ = 0;
  if (const auto chosen = i3ipc::chooseBar(configs_, ancestorIds_, programName_)) {
    chosenId_ = configs_[*chosen].id;
    onColors_(configs_[*chosen].colors);
  }
  configs_.clear();
}

}  // namespace platform::linux_backend
