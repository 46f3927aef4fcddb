// The idle time lookup against the real I/O registry (macOS only): a reading is there, and it
// does not fall while nobody touches the machine, as on a CI runner.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "idle/systemIdleSeconds.h"
#include "platform/macos/HIDIdleTime.h"

namespace {

std::uint64_t nanoseconds(const platform::IdleLookup& lookup) {
  const platform::RegistryValue& v = lookup.value;
  if (v.kind == platform::RegistryValue::Kind::number) return static_cast<std::uint64_t>(v.number);
  std::uint64_t ns = 0;
  if (v.bytes.size() >= sizeof ns) std::memcpy(&ns, v.bytes.data(), sizeof ns);
  return ns;
}

TEST(HIDIdleTimeRegistry, FindsAReadingThatDoesNotFallWhileTheMachineIsIdle) {
  const platform::IdleLookup first = platform::macos::lookUpHIDIdleTime();
  ASSERT_EQ(first.outcome, platform::IdleLookup::Outcome::found);
  std::vector<std::string> lines;
  idleSecondsFromLookup(first, [&](std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(lines, std::vector<std::string>{}) << "the value is of a kind the probe cannot read";

  std::this_thread::sleep_for(std::chrono::seconds(2));
  const platform::IdleLookup second = platform::macos::lookUpHIDIdleTime();
  ASSERT_EQ(second.outcome, platform::IdleLookup::Outcome::found);
  std::printf("HIDIdleTime: %llu ns, then %llu ns two seconds later\n",
              static_cast<unsigned long long>(nanoseconds(first)),
              static_cast<unsigned long long>(nanoseconds(second)));
  EXPECT_GE(nanoseconds(second), nanoseconds(first));
}

}  // namespace
