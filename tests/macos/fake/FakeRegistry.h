// FakeRegistry.h: scripts the stand-in IOKit and CoreFoundation, and tells a test what the code
// under test did with them: every object created, retained and released, and every call the
// real frameworks would reject or crash on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_registry {

// What the next lookups meet. The default is a healthy registry whose idle time is a number.
struct Script {
  bool matchingFails = false;       // IOServiceMatching gives no description
  int getServicesResult = 0;        // IOServiceGetMatchingServices' status
  bool noIterator = false;          // ... and it succeeds without an iterator
  int services = 1;                 // services the iterator yields
  bool propertyUnreadable = false;  // IORegistryEntryCreateCFProperty gives no value
  // Unreadable properties (a failing status or no dictionary) give no single value either.
  int propertiesResult = 0;             // IORegistryEntryCreateCFProperties' status
  bool noProperties = false;            // ... and it succeeds without a dictionary
  bool propertiesDespiteError = false;  // ... or fails but hands out a dictionary anyway

  enum class Value { absent, data, number, string };
  Value value = Value::number;
  std::string key = "HIDIdleTime";  // the key the service holds the value under
  std::vector<std::uint8_t> data;   // Value::data
  std::int64_t number = 0;          // Value::number
};

// The type identifier the stand-in gives strings, a kind the lookup does not read.
constexpr unsigned long kStringTypeID = 7;

// Forgets every object and count, and sets what the next lookups meet.
void reset(const Script& script);

struct Counts {
  int created = 0;   // objects made, the caller's and those a container owns
  int retained = 0;  // extra references taken with CFRetain
  int released = 0;  // references given back, by the caller, a consuming call or a container
  int live = 0;      // objects not yet freed
};
Counts counts();

// Each line a call the real frameworks would reject or crash on: a release of a freed object,
// a read past the end of a data value, a port other than the default one, ...
std::vector<std::string> misuse();

// How many times the whole lookup began (IOServiceMatching was called).
int lookupsBegun();

// The keys asked of the service, one entry per IORegistryEntryCreateCFProperty call.
std::vector<std::string> keysRead();

// How many times the service's whole property table was asked for
// (IORegistryEntryCreateCFProperties).
int tablesCopied();

}  // namespace fake_registry
