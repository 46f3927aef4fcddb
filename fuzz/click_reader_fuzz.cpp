// click_reader_fuzz: feeds arbitrary bytes to both bars' input readers, cut into reads at
// arbitrary points, with arbitrary clock steps between them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/linux/bars/I3barStatusItem.h"
#include "platform/linux/bars/TerminalStatusItem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform::linux_backend;
  double clock = 0;
  const auto discard = [](std::string_view) { return true; };
  const auto now = [&clock] { return clock; };
  I3barStatusItem i3bar(discard, discard, now);
  TerminalStatusItem terminal(discard, discard, now);
  int actions = 0;
  for (platform::StatusItem* item : {static_cast<platform::StatusItem*>(&i3bar),
                                     static_cast<platform::StatusItem*>(&terminal)}) {
    item->setAction([&] { ++actions; });
    item->setDoubleAction([&] { ++actions; });
  }

  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    // The first byte of each piece sets its length and how far the clock moves.
    const std::size_t piece = 1 + static_cast<std::uint8_t>(input.front()) % 64;
    clock += static_cast<std::uint8_t>(input.front()) / 256.0;
    input.remove_prefix(1);
    const std::string_view bytes = input.substr(0, piece);
    i3bar.consumeInput(bytes);
    terminal.consumeInput(bytes);
    input.remove_prefix(bytes.size());
  }
  return 0;
}
