// LinuxStatusItem.h: what the Linux bars share. A bar draws titles on an output stream and
// reads clicks from standard input; it knows nothing of GLib, so tests drive it in-process.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "platform/ClickSequence.h"
#include "platform/StatusItem.h"

namespace platform::linux_backend {

class LinuxStatusItem : public StatusItem {
 public:
  // Writes all of `bytes`; false once the reader has gone.
  using Writer = std::function<bool(std::string_view bytes)>;
  using Clock = std::function<double()>;  // monotonic seconds

  LinuxStatusItem(Writer out, Clock clock) : out_(std::move(out)), clock_(std::move(clock)) {}
  ~LinuxStatusItem() override {
    if (onDestroyed_) onDestroyed_();
  }

  // Bytes that arrived on standard input, in pieces of any size.
  virtual void consumeInput(std::string_view bytes) = 0;
  // One message line for the user, written where it does not break the bar.
  virtual void writeMessageLine(std::string_view line) = 0;
  // The terminal changed size; only the terminal bar cares.
  virtual void terminalResized() {}

  // Lets a title frame the reader has not taken yet be replaced by a newer one: `frames` writes
  // a frame that way, `frameWaiting` tells whether one still waits to go out. Without it frames
  // are written like any other bytes.
  void setFrameWriter(Writer frames, std::function<bool()> frameWaiting) {
    frames_ = std::move(frames);
    frameWaiting_ = std::move(frameWaiting);
  }

  // Called once, when a write finds the bar gone or outputLost() says so.
  void setOnOutputClosed(std::function<void()> call) { onOutputClosed_ = std::move(call); }
  // The bar is gone, seen without a write (standard output hung up).
  void outputLost() {
    if (outputClosed_) return;
    outputClosed_ = true;
    if (onOutputClosed_) onOutputClosed_();
  }
  void setOnDestroyed(std::function<void()> call) { onDestroyed_ = std::move(call); }
  bool outputClosed() const { return outputClosed_; }

 protected:
  // Writes all of `bytes`, in order after everything written before.
  bool write(std::string_view bytes) { return send(out_, bytes); }

  // A whole redraw of the title. Unlike write(), a frame the reader has not taken yet may be
  // replaced by a newer one: only the newest title matters.
  bool writeFrame(std::string_view frame) { return send(frames_ ? frames_ : out_, frame); }
  // Whether the frame written last still waits, and so would be replaced by the next one.
  bool frameWaiting() const { return frameWaiting_ && frameWaiting_(); }

  // A button-1 press on the item.
  void press() {
    if (clicks_.press(clock_()) == ClickSequence::Kind::click) {
      sendAction();
    } else {
      sendDoubleAction();
    }
  }

 private:
  bool send(const Writer& writer, std::string_view bytes) {
    if (outputClosed_) return false;
    if (writer(bytes)) return true;
    outputLost();
    return false;
  }

  Writer out_;
  Writer frames_;
  std::function<bool()> frameWaiting_;
  Clock clock_;
  ClickSequence clicks_;
  bool outputClosed_ = false;
  std::function<void()> onOutputClosed_;
  std::function<void()> onDestroyed_;
};

// Bytes 0..255 for a colour component within 0..1.
int colorByte(double component);

// Whether every run of a non-empty title is drawn in the clear colour: the blink's hidden
// frame, which each bar draws as a blank of the title's width.
bool drawnTransparent(const AttributedString& title);

}  // namespace platform::linux_backend
