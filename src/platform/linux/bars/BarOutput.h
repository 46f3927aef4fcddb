// BarOutput.h: the bytes on their way to a bar that may read slowly, or stop reading. Nothing
// here waits for the reader: what it has not taken yet waits in order, and of the title frames
// only the newest waits, the ones it replaces being dropped.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform::linux_backend {

class BarOutput {
 public:
  // One write that does not wait: how many bytes the reader took now (0 when it takes none for
  // the moment), or nothing once it is gone.
  using Send = std::function<std::optional<std::size_t>(std::string_view bytes)>;
  // Frames replace each other, so only bytes that must all arrive can pile up; a reader that has
  // left this much untaken is treated as gone rather than let the program grow without end.
  static constexpr std::size_t kMaxWaiting = std::size_t{1} << 20;

  explicit BarOutput(Send send) : send_(std::move(send)) {}

  // Bytes that must all arrive, in order. False once the reader is gone.
  bool write(std::string_view bytes);
  // A whole title. It replaces a frame that has not begun to go out; one that has is finished
  // first, so the reader never sees half a frame. False once the reader is gone.
  bool writeFrame(std::string_view frame);
  // Sends what the reader takes now. False once it is gone.
  bool flush();
  // The reader is gone, seen without a write (a hang-up); what waits is dropped.
  void lose();

  bool gone() const { return gone_; }
  // Something waits for the reader to take it.
  bool waiting() const { return !chunks_.empty(); }
  // A frame waits that has not begun to go out, and that the next frame would replace.
  bool frameWaiting() const;
  std::size_t framesDropped() const { return framesDropped_; }

 private:
  struct Chunk {
    std::string bytes;
    bool frame;
  };
  bool add(std::string_view bytes, bool frame);
  bool started(std::size_t index) const { return index == 0 && sent_ > 0; }

  Send send_;
  std::deque<Chunk> chunks_;
  std::size_t sent_ = 0;  // of the front chunk
  std::size_t waitingBytes_ = 0;
  std::size_t framesDropped_ = 0;
  bool gone_ = false;
};

}  // namespace platform::linux_backend
