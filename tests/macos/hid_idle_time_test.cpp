// The I/O registry lookup of the idle time, run against a counting stand-in of IOKit and
// CoreFoundation: each outcome with the lines the probe then writes, the reading from each kind
// of value, and the release of every object on every path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FakeRegistry.h"
#include "idle/systemIdleSeconds.h"
#include "platform/macos/HIDIdleTime.h"

namespace {

using fake_registry::Script;
using Outcome = platform::IdleLookup::Outcome;
using Value = Script::Value;

struct Probed {
  platform::IdleLookup lookup;
  std::uint64_t reading = 0;
  std::vector<std::string> lines;
};

Probed probe(const Script& script) {
  fake_registry::reset(script);
  Probed p;
  p.lookup = platform::macos::lookUpHIDIdleTime();
  p.reading = idleSecondsFromLookup(p.lookup, [&](std::string_view l) { p.lines.emplace_back(l); });
  return p;
}

Script withData(std::vector<std::uint8_t> bytes) {
  Script s;
  s.value = Value::data;
  s.data = std::move(bytes);
  return s;
}

Script withData(std::uint64_t ns) {
  std::vector<std::uint8_t> bytes(8);
  std::memcpy(bytes.data(), &ns, sizeof ns);
  return withData(bytes);
}

Script withNumber(std::int64_t ns) {
  Script s;
  s.value = Value::number;
  s.number = ns;
  return s;
}

struct Case {
  const char* name;
  Script script;
  Outcome outcome;
  std::vector<std::string> lines;
};

std::vector<Case> failures() {
  std::vector<Case> cases;
  Script s;
  s.matchingFails = true;
  cases.push_back(
      {"no matching description", s, Outcome::noServices, {"Error accessing IOHIDSystem"}});
  s = {};
  s.getServicesResult = 5;
  cases.push_back(
      {"matching services fail", s, Outcome::noServices, {"Error accessing IOHIDSystem"}});
  s = {};
  s.noIterator = true;
  cases.push_back({"no iterator", s, Outcome::noServices, {"Error accessing IOHIDSystem"}});
  s = {};
  s.services = 0;
  cases.push_back({"empty match", s, Outcome::noService, {"Iterator's empty!"}});
  // The single read finds nothing; the table then tells why.
  const std::vector<std::string> unreadable = {"Couldn't grab properties of system",
                                               "Can't find idle time"};
  s = {};
  s.propertiesResult = 3;
  cases.push_back({"properties fail", s, Outcome::propertiesUnreadable, unreadable});
  s.propertiesDespiteError = true;
  cases.push_back(
      {"properties fail, dictionary given anyway", s, Outcome::propertiesUnreadable, unreadable});
  s = {};
  s.noProperties = true;
  cases.push_back({"no dictionary", s, Outcome::propertiesUnreadable, unreadable});
  s = {};
  s.value = Value::absent;
  cases.push_back({"key absent", s, Outcome::keyAbsent, {"Can't find idle time"}});
  s = withNumber(5ll << 30);
  s.key = "HIDIdleTimeX";  // the service has a value, under another key
  cases.push_back({"another key only", s, Outcome::keyAbsent, {"Can't find idle time"}});
  s = {};
  s.value = Value::string;
  cases.push_back({"a string value",
                   s,
                   Outcome::found,
                   {std::to_string(fake_registry::kStringTypeID) + ": unsupported type"}});
  return cases;
}

TEST(HIDIdleTime, EachFailureHasItsOutcomeAndItsLinesAndReadsZero) {
  for (const Case& c : failures()) {
    SCOPED_TRACE(c.name);
    const Probed p = probe(c.script);
    EXPECT_EQ(p.lookup.outcome, c.outcome);
    EXPECT_EQ(p.reading, 0u);
    EXPECT_EQ(p.lines, c.lines);
  }
}

TEST(HIDIdleTime, DataAndNumberValuesGiveTheSameReading) {
  const std::uint64_t unit = 1ull << 30;
  struct Reading {
    std::uint64_t ns, idleSeconds;
  };
  for (const Reading r :
       {Reading{0, 0}, Reading{unit - 1, 0}, Reading{unit, 1}, Reading{60'000'000'000ull, 55},
        Reading{61 * unit, 61}, Reading{UINT64_MAX, UINT64_MAX >> 30}}) {
    SCOPED_TRACE(r.ns);
    const Probed fromData = probe(withData(r.ns));
    const Probed fromNumber = probe(withNumber(static_cast<std::int64_t>(r.ns)));
    EXPECT_EQ(fromData.lookup.value.kind, platform::RegistryValue::Kind::data);
    EXPECT_EQ(fromNumber.lookup.value.kind, platform::RegistryValue::Kind::number);
    EXPECT_EQ(fromData.reading, r.idleSeconds);
    EXPECT_EQ(fromNumber.reading, r.idleSeconds);
    EXPECT_TRUE(fromData.lines.empty());
    EXPECT_TRUE(fromNumber.lines.empty());
  }
}

TEST(HIDIdleTime, OnlyTheFirstEightBytesOfALongerDataValueCount) {
  std::vector<std::uint8_t> bytes(16, 0xff);
  const std::uint64_t ns = 7ull << 30;
  std::memcpy(bytes.data(), &ns, sizeof ns);
  const Probed p = probe(withData(bytes));
  EXPECT_EQ(p.reading, 7u);
  EXPECT_TRUE(fake_registry::misuse().empty());
}

// The registry would be asked for bytes it does not have: that read goes past the value's end.
TEST(HIDIdleTime, ADataValueShorterThanEightBytesIsNoReadingAndIsNotReadPastItsEnd) {
  for (std::size_t size = 0; size < 8; ++size) {
    SCOPED_TRACE(size);
    const Probed p = probe(withData(std::vector<std::uint8_t>(size, 0x40)));
    EXPECT_EQ(p.lookup.outcome, Outcome::found);
    EXPECT_EQ(p.lookup.value.bytes, std::vector<std::uint8_t>(size, 0x40));
    EXPECT_EQ(p.reading, 0u);
    EXPECT_EQ(p.lines, std::vector<std::string>{"Can't find idle time"});
    EXPECT_EQ(fake_registry::misuse(), std::vector<std::string>{});
  }
}

// Only the single read fails, the table holds the value: as when the key appears between the
// two reads.
Script singleReadFails(Script s) {
  s.propertyUnreadable = true;
  return s;
}

std::vector<Case> readings() {
  std::vector<Case> cases;
  cases.push_back({"data", withData(3ull << 30), Outcome::found, {}});
  cases.push_back({"short data", withData(std::vector<std::uint8_t>(3)), Outcome::found, {}});
  cases.push_back({"empty data", withData(std::vector<std::uint8_t>{}), Outcome::found, {}});
  cases.push_back({"number", withNumber(3ll << 30), Outcome::found, {}});
  Script string;
  string.value = Value::string;
  cases.push_back({"a string", string, Outcome::found, {}});
  Script twoServices = withNumber(1);
  twoServices.services = 2;
  cases.push_back({"two services", twoServices, Outcome::found, {}});
  return cases;
}

TEST(HIDIdleTime, WhenOnlyTheSingleReadFailsTheTableGivesTheReading) {
  for (const Script& s : {withData(4ull << 30), withNumber(4ll << 30)}) {
    const Probed p = probe(singleReadFails(s));
    EXPECT_EQ(p.lookup.outcome, Outcome::found);
    EXPECT_EQ(p.reading, 4u);
    EXPECT_TRUE(p.lines.empty());
    EXPECT_EQ(fake_registry::tablesCopied(), 1);
    EXPECT_EQ(fake_registry::counts().retained, 1) << "the table's value is held while it is read";
  }
}

TEST(HIDIdleTime, EveryObjectIsReleasedOnEveryPathAndNoCallIsMisused) {
  std::vector<Case> cases = failures();
  for (const Case& c : readings()) {
    cases.push_back(c);
    cases.push_back({c.name, singleReadFails(c.script), c.outcome, {}});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SCOPED_TRACE(c.script.propertyUnreadable ? "single read fails" : "");
    probe(c.script);
    const fake_registry::Counts n = fake_registry::counts();
    EXPECT_EQ(n.live, 0);
    EXPECT_EQ(n.created + n.retained, n.released);
    EXPECT_EQ(fake_registry::misuse(), std::vector<std::string>{});
  }
}

// The lookup runs at every tick: while the key is there it asks for it alone, never for a copy
// of every property; the table is copied, once, only when that finds nothing.
TEST(HIDIdleTime, TheTableIsCopiedOnlyWhenTheSingleReadFindsNothing) {
  for (const Case& c : readings()) {
    SCOPED_TRACE(c.name);
    probe(c.script);
    EXPECT_EQ(fake_registry::keysRead(), std::vector<std::string>{"HIDIdleTime"});
    EXPECT_EQ(fake_registry::tablesCopied(), 0);
    EXPECT_EQ(fake_registry::counts().retained, 0) << "the value is owned as it comes";
  }
  for (const Case& c : failures()) {
    if (c.outcome != Outcome::propertiesUnreadable && c.outcome != Outcome::keyAbsent) continue;
    SCOPED_TRACE(c.name);
    probe(c.script);
    EXPECT_EQ(fake_registry::keysRead(), std::vector<std::string>{"HIDIdleTime"});
    EXPECT_EQ(fake_registry::tablesCopied(), 1);
  }
}

TEST(HIDIdleTime, EachCallRepeatsTheWholeLookupAndCachesNothing) {
  fake_registry::reset(withNumber(2ll << 30));
  EXPECT_EQ(idleSecondsFromLookup(platform::macos::lookUpHIDIdleTime(), [](auto) {}), 2u);
  EXPECT_EQ(idleSecondsFromLookup(platform::macos::lookUpHIDIdleTime(), [](auto) {}), 2u);
  EXPECT_EQ(fake_registry::lookupsBegun(), 2);
  EXPECT_EQ(fake_registry::counts().live, 0);
}

}  // namespace
