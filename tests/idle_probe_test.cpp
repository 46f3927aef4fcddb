// Turning what a backend's idle lookup found into a reading, and the messages on failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "idle/systemIdleSeconds.h"
#include "platform/sim/SimBackend.h"

using platform::IdleLookup;
using platform::RegistryValue;
using Outcome = IdleLookup::Outcome;
using Kind = RegistryValue::Kind;

namespace {

struct Decoded {
  std::uint64_t reading;
  std::vector<std::string> lines;
};

Decoded decode(const IdleLookup& lookup) {
  Decoded d{0, {}};
  d.reading = idleSecondsFromLookup(lookup, [&](std::string_view l) { d.lines.emplace_back(l); });
  return d;
}

IdleLookup data(std::uint64_t ns, std::size_t size = 8) {
  RegistryValue v{Kind::data, std::vector<std::uint8_t>(size + 8), 0, 0};
  std::memcpy(v.bytes.data(), &ns, sizeof ns);
  v.bytes.resize(size);
  return {Outcome::found, v};
}

IdleLookup number(std::int64_t ns) { return IdleLookup::nanoseconds(ns); }

TEST(IdleProbe, EachFailureWritesExactlyItsLinesAndReadsZero) {
  struct Case {
    IdleLookup lookup;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{Outcome::noServices, {}}, {"Error accessing IOHIDSystem"}},
      {{Outcome::noService, {}}, {"Iterator's empty!"}},
      {{Outcome::propertiesUnreadable, {}},
       {"Couldn't grab properties of system", "Can't find idle time"}},
      {{Outcome::keyAbsent, {}}, {"Can't find idle time"}},
      {{Outcome::found, {Kind::other, {}, 0, 7}}, {"7: unsupported type"}},
  };
  for (const Case& c : cases) {
    const Decoded d = decode(c.lookup);
    EXPECT_EQ(d.reading, 0u);
    EXPECT_EQ(d.lines, c.lines);
  }
}

TEST(IdleProbe, DataAndNumberGiveTheSameReadingInUnitsOfTwoToTheThirtyNanoseconds) {
  const std::uint64_t oneUnit = 1ull << 30;
  struct Case {
    std::uint64_t ns, reading;
  };
  for (const Case c :
       {Case{0, 0}, Case{oneUnit - 1, 0}, Case{oneUnit, 1}, Case{60'000'000'000ull, 55},
        Case{61 * oneUnit, 61}, Case{UINT64_MAX, UINT64_MAX >> 30}}) {
    SCOPED_TRACE(c.ns);
    const Decoded fromData = decode(data(c.ns));
    const Decoded fromNumber = decode(number(static_cast<std::int64_t>(c.ns)));
    EXPECT_EQ(fromData.reading, c.reading);
    EXPECT_EQ(fromNumber.reading, c.reading);
    EXPECT_TRUE(fromData.lines.empty());
    EXPECT_TRUE(fromNumber.lines.empty());
  }
}

TEST(IdleProbe, OnlyTheFirstEightBytesOfDataCount) {
  IdleLookup longer = data(5ull << 30);
  longer.value.bytes.resize(16, 0xff);
  EXPECT_EQ(decode(longer).reading, 5u);
}

TEST(IdleProbe, ShortDataIsNoReadingAndReadsNothingPastItsEnd) {
  for (std::size_t size : {0u, 1u, 7u}) {
    // A vector sized exactly so that AddressSanitizer sees any read past its end.
    const Decoded d = decode(data(~0ull, size));
    EXPECT_EQ(d.reading, 0u);
    EXPECT_EQ(d.lines, std::vector<std::string>{"Can't find idle time"});
  }
}

TEST(IdleProbe, SystemIdleSecondsWritesThroughThePlatformAtEveryFailingCall) {
  platform::sim::SimBackend sim;
  platform::BackendScope scope(sim);
  sim.setIdleLookup({Outcome::propertiesUnreadable, {}});
  EXPECT_EQ(systemIdleSeconds(), 0u);
  EXPECT_EQ(systemIdleSeconds(), 0u);
  EXPECT_EQ(sim.messages().size(), 4u);
  sim.setIdleReading(42);
  EXPECT_EQ(systemIdleSeconds(), 42u);
  EXPECT_EQ(sim.idleLookups(), 3u);
}

}  // namespace
