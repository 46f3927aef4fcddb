#include "platform/linux/bars/BarOutput.h"

namespace platform::linux_backend {

bool BarOutput::write(std::string_view bytes) { return add(bytes, false); }

bool BarOutput::writeFrame(std::string_view frame) { return add(frame, true); }

bool BarOutput::frameWaiting() const {
  for (std::size_t i = 0; i < chunks_.size(); ++i) {
    if (chunks_[i].frame && !started(i)) return true;
  }
  return false;
}

bool BarOutput::add(std::string_view bytes, bool frame) {
  if (gone_) return false;
  if (frame) {
    for (std::size_t i = 0; i < chunks_.size();) {
      if (chunks_[i].frame && !started(i)) {
        waitingBytes_ -= chunks_[i].bytes.size();
        chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(i));
        ++framesDropped_;
      } else {
        ++i;
      }
    }
  }
  if (!bytes.empty()) {
    chunks_.push_back({std::string(bytes), frame});
    waitingBytes_ += bytes.size();
  }
  if (!flush()) return false;
  if (waitingBytes_ > kMaxWaiting) {
    lose();
    return false;
  }
  return true;
}

bool BarOutput::flush() {
  while (!gone_ && !chunks_.empty()) {
    const std::string& front = chunks_.front().bytes;
    const std::optional<std::size_t> taken = send_(std::string_view(front).substr(sent_));
    if (!taken) {
      lose();
      break;
    }
    if (*taken == 0) break;
    sent_ += *taken;
    waitingBytes_ -= *taken;
    if (sent_ >= front.size()) {
      chunks_.pop_front();
      sent_ = 0;
    }
  }
  return !gone_;
}

void BarOutput::lose() {
  gone_ = true;
  chunks_.clear();
  sent_ = 0;
  waitingBytes_ = 0;
}

}  // namespace platform::linux_backend
