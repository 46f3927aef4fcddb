// HIDIdleTime.cpp: the I/O registry lookup of the idle time, in plain C++ against the C APIs of
// IOKit and CoreFoundation, so that it can be compiled and counted against a stand-in of both.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include "platform/IdleLookup.h"

namespace platform::macos {

namespace {

constexpr CFIndex kDataBytes = 8;

// Releases what it holds when the lookup returns, on every path.
class IOObject {
 public:
  IOObject() = default;
  ~IOObject() {
    if (object_ != IO_OBJECT_NULL) IOObjectRelease(object_);
  }
  IOObject(const IOObject&) = delete;
  IOObject& operator=(const IOObject&) = delete;
  io_object_t* out() { return &object_; }
  void reset(io_object_t object) { object_ = object; }
  io_object_t get() const { return object_; }

 private:
  io_object_t object_ = IO_OBJECT_NULL;
};

class CFObject {
 public:
  explicit CFObject(CFTypeRef object = nullptr) : object_(object) {}
  ~CFObject() {
    if (object_) CFRelease(object_);
  }
  CFObject(const CFObject&) = delete;
  CFObject& operator=(const CFObject&) = delete;
  CFTypeRef get() const { return object_; }

 private:
  CFTypeRef object_;
};

RegistryValue readValue(CFTypeRef value) {
  RegistryValue read;
  const CFTypeID type = CFGetTypeID(value);
  if (type == CFDataGetTypeID()) {
    const auto data = static_cast<CFDataRef>(value);
    // Asking for 8 bytes of a shorter value would read past its end; the decoder knows what a
    // short value means.
    const CFIndex length = CFDataGetLength(data);
    const CFIndex taken = length < kDataBytes ? length : kDataBytes;
    read.kind = RegistryValue::Kind::data;
    read.bytes.resize(static_cast<std::size_t>(taken));
    if (taken > 0) CFDataGetBytes(data, CFRangeMake(0, taken), read.bytes.data());
  } else if (type == CFNumberGetTypeID()) {
    SInt64 nanoseconds = 0;
    // A value that does not fit is still converted; that is the reading there is.
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &nanoseconds);
    read.kind = RegistryValue::Kind::number;
    read.number = nanoseconds;
  } else {
    read.kind = RegistryValue::Kind::other;
    read.typeID = static_cast<long>(type);
  }
  return read;
}

}  // namespace

IdleLookup lookUpHIDIdleTime() {
  using Outcome = IdleLookup::Outcome;

  // The matching description is consumed by the call, whether or not it succeeds.
  CFMutableDictionaryRef matching = IOServiceMatching("IOHIDSystem");
  if (!matching) return {Outcome::noServices, {}};

  // MACH_PORT_NULL is the default main port on every version, without the call deprecated in
  // macOS 12.
  IOObject iterator;
  if (IOServiceGetMatchingServices(MACH_PORT_NULL, matching, iterator.out()) != KERN_SUCCESS ||
      iterator.get() == IO_OBJECT_NULL) {
    return {Outcome::noServices, {}};
  }

  IOObject service;
  service.reset(IOIteratorNext(iterator.get()));
  if (service.get() == IO_OBJECT_NULL) return {Outcome::noService, {}};

  // The one property alone: the lookup runs at every tick, and a copy of the service's whole
  // table to read one value is work thrown away.
  const CFObject value(
      IORegistryEntryCreateCFProperty(service.get(), CFSTR("HIDIdleTime"), kCFAllocatorDefault, 0));
  if (value.get()) return {Outcome::found, readValue(value.get())};

  // NULL says only that there is no value: the key may be absent, or the service's properties
  // unreadable, and the two are reported differently. Only the whole table tells them apart, so
  // it is copied on this path alone.
  CFMutableDictionaryRef properties = nullptr;
  const kern_return_t read =
      IORegistryEntryCreateCFProperties(service.get(), &properties, kCFAllocatorDefault, 0);
  // Owned even when the call says it failed, so that no path leaks it.
  const CFObject ownedProperties(properties);
  if (read != KERN_SUCCESS || !properties) return {Outcome::propertiesUnreadable, {}};

  // The key may have appeared, or the single read failed for a moment: what the table holds is
  // then the reading.
  const CFTypeRef held = CFDictionaryGetValue(properties, CFSTR("HIDIdleTime"));
  if (!held) return {Outcome::keyAbsent, {}};
  const CFObject ownedValue(CFRetain(held));
  return {Outcome::found, readValue(held)};
}

}  // namespace platform::macos
