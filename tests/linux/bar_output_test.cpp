// The queue between the bars and standard output, with a reader that takes what the test lets
// it take.
#include <gtest/gtest.h>

#include <string>

#include "platform/linux/bars/BarOutput.h"

using platform::linux_backend::BarOutput;

namespace {

struct Reader {
  std::string got;
  std::size_t room = std::string::npos;  // bytes it takes before it stops reading
  bool gone = false;

  BarOutput::Send send() {
    return [this](std::string_view bytes) -> std::optional<std::size_t> {
      if (gone) return std::nullopt;
      const std::size_t n = std::min(room, bytes.size());
      got.append(bytes.substr(0, n));
      if (room != std::string::npos) room -= n;
      return n;
    };
  }
  void readAgain() { room = std::string::npos; }
};

TEST(BarOutput, StoppedReaderGetsEveryByteInOrderAndOnlyTheNewestFrame) {
  Reader reader;
  reader.room = 0;
  BarOutput out(reader.send());
  EXPECT_TRUE(out.write("head|"));
  EXPECT_TRUE(out.writeFrame("f1|"));
  EXPECT_TRUE(out.frameWaiting());
  EXPECT_TRUE(out.write("query|"));
  EXPECT_TRUE(out.writeFrame("f2|"));
  EXPECT_TRUE(out.writeFrame("f3|"));
  EXPECT_EQ(reader.got, "");
  EXPECT_TRUE(out.waiting());
  EXPECT_EQ(out.framesDropped(), 2u);

  reader.readAgain();
  EXPECT_TRUE(out.flush());
  EXPECT_EQ(reader.got, "head|query|f3|");
  EXPECT_FALSE(out.waiting());
  EXPECT_FALSE(out.frameWaiting());
}

TEST(BarOutput, FrameThatHasBegunIsFinishedNeverCut) {
  Reader reader;
  reader.room = 4;
  BarOutput out(reader.send());
  out.writeFrame("[first]\n");
  EXPECT_EQ(reader.got, "[fir");
  EXPECT_FALSE(out.frameWaiting());  // begun: the next frame cannot replace it
  out.writeFrame("[second]\n");
  out.writeFrame("[third]\n");
  reader.readAgain();
  out.flush();
  EXPECT_EQ(reader.got, "[first]\n[third]\n");
}

TEST(BarOutput, GoneReaderFailsEveryWriteAndDropsWhatWaits) {
  Reader reader;
  reader.room = 0;
  BarOutput out(reader.send());
  out.write("waiting");
  reader.gone = true;
  EXPECT_FALSE(out.flush());
  EXPECT_TRUE(out.gone());
  EXPECT_FALSE(out.waiting());
  EXPECT_FALSE(out.write("more"));
  EXPECT_FALSE(out.writeFrame("frame"));

  BarOutput hungUp(Reader{}.send());
  hungUp.lose();
  EXPECT_FALSE(hungUp.write("x"));
}

TEST(BarOutput, BytesPilingUpWithoutEndCountAsAGoneReader) {
  Reader reader;
  reader.room = 0;
  BarOutput out(reader.send());
  const std::string block(64 * 1024, 'q');
  // Frames never pile up, however many.
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(out.writeFrame(block));
  bool ok = true;
  for (std::size_t sent = 0; ok && sent <= 2 * BarOutput::kMaxWaiting; sent += block.size()) {
    ok = out.write(block);
  }
  EXPECT_FALSE(ok);
  EXPECT_TRUE(out.gone());
}

}  // namespace
