// IdleLookup.h: what a backend found when it looked up the system idle time, before it is
// turned into a reading.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

// A property value as the platform's registry holds it.
struct RegistryValue {
  enum class Kind { data, number, other };
  Kind kind = Kind::number;
  std::vector<std::uint8_t> bytes;  // kind data: the raw bytes, in the machine's byte order
  std::int64_t number = 0;          // kind number: nanoseconds
  long typeID = 0;                  // kind other: the platform's type identifier
};

struct IdleLookup {
  enum class Outcome {
    found,                 // `value` holds the idle time
    noServices,            // no matching service could be obtained
    noService,             // the match was empty
    propertiesUnreadable,  // the service's properties could not be read
    keyAbsent,             // the properties hold no idle time
  };
  Outcome outcome = Outcome::keyAbsent;
  RegistryValue value;

  // The shapes a source without a registry gives: a plain duration, or no reading at all.
  static IdleLookup nanoseconds(std::int64_t ns) {
    return {Outcome::found, {RegistryValue::Kind::number, {}, ns, 0}};
  }
  static IdleLookup unavailable() { return {Outcome::keyAbsent, {}}; }
};

}  // namespace platform
