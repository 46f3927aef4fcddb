#include "platform/linux/ErrorQueue.h"

namespace platform::linux_backend {

void ErrorQueue::write(std::string_view message) {
  if (gone_ || message.empty()) return;
  if (messages_.size() >= kMaxWaitingMessages ||
      waitingBytes_ + message.size() > kMaxWaitingBytes) {
    ++droppedSinceNote_;
    ++droppedTotal_;
    return;
  }
  messages_.emplace_back(message);
  waitingBytes_ += message.size();
  flush();
}

void ErrorQueue::flush() {
  for (;;) {
    while (!gone_ && !messages_.empty()) {
      const std::string& front = messages_.front();
      const std::optional<std::size_t> taken = send_(std::string_view(front).substr(sent_));
      if (!taken) {
        lose();
        return;
      }
      if (*taken == 0) return;
      sent_ += *taken;
      waitingBytes_ -= *taken;
      if (sent_ >= front.size()) {
        messages_.pop_front();
        sent_ = 0;
      }
    }
    if (gone_ || droppedSinceNote_ == 0) return;
    // The reader is back: one line for the whole gap, sent like any other message.
    const std::string note = "sitting-timer: " + std::to_string(droppedSinceNote_) +
                             " message(s) dropped: standard error was not being read\n";
    droppedSinceNote_ = 0;
    messages_.push_back(note);
    waitingBytes_ += note.size();
  }
}

void ErrorQueue::lose() {
  gone_ = true;
  messages_.clear();
  sent_ = 0;
  waitingBytes_ = 0;
}

}  // namespace platform::linux_backend
