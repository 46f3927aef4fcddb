// ErrorQueue.h: messages on their way to standard error, which nobody may be reading (a session
// log whose reader stalled, a terminal stopped with Ctrl-S). Nothing here waits: what cannot
// go out now waits in order, up to a bound, and what would pass the bound is dropped and
// counted, so that a stalled reader costs a few kilobytes and never a blocked program.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::linux_backend {

class ErrorQueue {
 public:
  // One write that does not wait: how many bytes the reader took now (0 when it takes none for
  // the moment), or nothing once it is gone (a closed pipe), after which nothing is kept.
  using Send = std::function<std::optional<std::size_t>(std::string_view bytes)>;
  // Messages are lines for a person: a few kilobytes hold every start-up message at once.
  static constexpr std::size_t kMaxWaitingBytes = 16 * 1024;
  static constexpr std::size_t kMaxWaitingMessages = 32;

  explicit ErrorQueue(Send send) : send_(std::move(send)) {}

  // One whole message (its line end included). Goes out now as far as the reader takes it;
  // the rest waits, unless the queue is full, when the message is dropped. A message already
  // begun is always finished first, so that the reader never sees two interleaved.
  void write(std::string_view message);
  // Sends what the reader takes now. Once the queue has emptied after drops, says how many
  // were dropped, in one line of its own.
  void flush();

  bool waiting() const { return !messages_.empty(); }
  bool gone() const { return gone_; }
  std::size_t dropped() const { return droppedTotal_; }

 private:
  void lose();

  Send send_;
  std::deque<std::string> messages_;
  std::size_t sent_ = 0;  // of the front message
  std::size_t waitingBytes_ = 0;
  std::size_t droppedSinceNote_ = 0;
  std::size_t droppedTotal_ = 0;
  bool gone_ = false;
};

}  // namespace platform::linux_backend
