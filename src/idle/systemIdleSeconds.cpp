#include "idle/systemIdleSeconds.h"

#include <cstring>
#include <string>

#include "platform/Backend.h"

namespace {

constexpr std::size_t kDataBytes = 8;
constexpr int kNanosecondsToIdleSeconds = 30;

}  // namespace

std::uint64_t idleSecondsFromLookup(const platform::IdleLookup& lookup,
                                    const IdleMessageSink& messages) {
  using Outcome = platform::IdleLookup::Outcome;
  using Kind = platform::RegistryValue::Kind;
  switch (lookup.outcome) {
    case Outcome::noServices:
      messages("Error accessing IOHIDSystem");
      return 0;
    case Outcome::noService:
      messages("Iterator's empty!");
      return 0;
    case Outcome::propertiesUnreadable:
      messages("Couldn't grab properties of system");
      messages("Can't find idle time");
      return 0;
    case Outcome::keyAbsent:
      messages("Can't find idle time");
      return 0;
    case Outcome::found:
      break;
  }

  const platform::RegistryValue& value = lookup.value;
  std::uint64_t nanoseconds = 0;
  switch (value.kind) {
    case Kind::data:
      if (value.bytes.size() < kDataBytes) {
        messages("Can't find idle time");
        return 0;
      }
      std::memcpy(&nanoseconds, value.bytes.data(), kDataBytes);
      break;
    case Kind::number:
      nanoseconds = static_cast<std::uint64_t>(value.number);
      break;
    case Kind::other:
      messages(std::to_string(value.typeID) + ": unsupported type");
      return 0;
  }
  return nanoseconds >> kNanosecondsToIdleSeconds;
}

std::uint64_t systemIdleSeconds() {
  platform::Backend& backend = platform::backend();
  return idleSecondsFromLookup(backend.lookUpIdleTime(),
                               [&](std::string_view line) { backend.writeMessageLine(line); });
}
