#include "platform/linux/LogRule.h"

#include <cctype>

namespace platform::linux_backend {

namespace {

// Kinds remembered at once; more means a caller is making them up, and the window's budget
// already holds the lines down, so the oldest episodes are simply forgotten.
constexpr std::size_t kMaxKinds = 256;

}  // namespace

std::string LogRule::kindOf(std::string_view domain, std::string_view message) {
  std::size_t end = 0;
  while (end < message.size()) {
    const char c = message[end];
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '\'' || c == '"' || c == '`') break;
    ++end;
  }
  std::string kind(domain);
  kind += '\x1f';
  kind += message.substr(0, end);
  return kind;
}

bool LogRule::admit(const std::string& kind, double now) {
  if (lastSeen_.size() >= kMaxKinds) forgetEnded(now);
  const auto found = lastSeen_.find(kind);
  const bool news = found == lastSeen_.end() || now - found->second >= kQuietSeconds;
  if (found != lastSeen_.end()) {
    found->second = now;
  } else if (lastSeen_.size() < kMaxKinds) {
    lastSeen_.emplace(kind, now);
  }
  if (!news) return false;
  if (now - windowStart_ >= kWindowSeconds) {
    windowStart_ = now;
    linesInWindow_ = 0;
  }
  if (linesInWindow_ >= kLinesPerWindow) return false;
  ++linesInWindow_;
  return true;
}

void LogRule::forgetEnded(double now) {
  std::erase_if(lastSeen_,
                [now](const auto& entry) { return now - entry.second >= kQuietSeconds; });
  // Still full: a caller making up kinds faster than they end. Start over; the budget holds.
  if (lastSeen_.size() >= kMaxKinds) lastSeen_.clear();
}

}  // namespace platform::linux_backend
