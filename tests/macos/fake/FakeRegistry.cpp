// FakeRegistry.cpp: a counting stand-in for the few IOKit and CoreFoundation calls of the idle
// time lookup. Objects are reference counted as in the real frameworks; an object is freed when
// its count reaches zero, and any later use of it is recorded as misuse rather than undefined.
#include "FakeRegistry.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <cstring>
#include <map>
#include <memory>
#include <unordered_set>

namespace fake_registry {
namespace {

enum class Kind { dictionary, data, number, string, iterator, service };

constexpr CFTypeID kDictionaryTypeID = 18, kDataTypeID = 20, kNumberTypeID = 22;

struct Object {
  Kind kind;
  int references = 1;
  bool freed = false;
  std::string key;                  // dictionary: the one key it holds
  Object* value = nullptr;          // dictionary: the value, owned by it
  std::vector<std::uint8_t> bytes;  // data
  std::int64_t number = 0;          // number
  std::string text;                 // string
  int servicesLeft = 0;             // iterator
};

struct State {
  Script script;
  Counts counts;
  std::vector<std::string> misuse;
  int lookups = 0;
  std::vector<std::string> keysRead;
  int tablesCopied = 0;
  // Every object ever made, kept until reset so that a use after free is seen, not suffered.
  std::vector<std::unique_ptr<Object>> objects;
  std::unordered_set<const void*> known;
  std::map<io_object_t, Object*> ioObjects;
  std::map<std::string, std::unique_ptr<Object>> constantStrings;
};

State& state() {
  static State s;
  return s;
}

Object* make(Kind kind) {
  State& s = state();
  s.objects.push_back(std::make_unique<Object>());
  Object* o = s.objects.back().get();
  s.known.insert(o);
  o->kind = kind;
  ++s.counts.created;
  ++s.counts.live;
  return o;
}

void recordMisuse(std::string what) { state().misuse.push_back(std::move(what)); }

bool isConstant(const void* cf) {
  for (const auto& [text, object] : state().constantStrings) {
    if (object.get() == cf) return true;
  }
  return false;
}

// The object behind a CF reference, or null (recorded) when it is not one in use.
Object* live(CFTypeRef cf, const char* call) {
  if (!cf) {
    recordMisuse(std::string(call) + " on NULL");
    return nullptr;
  }
  auto* o = static_cast<Object*>(const_cast<void*>(cf));
  if (isConstant(cf)) return o;
  if (!state().known.contains(cf)) {
    recordMisuse(std::string(call) + " on an unknown object");
    return nullptr;
  }
  if (o->freed) {
    recordMisuse(std::string(call) + " on a freed object");
    return nullptr;
  }
  return o;
}

void release(Object* o) {
  State& s = state();
  ++s.counts.released;
  if (--o->references > 0) return;
  o->freed = true;
  --s.counts.live;
  if (o->value) release(o->value);
}

Object* liveIO(io_object_t handle, const char* call) {
  auto found = state().ioObjects.find(handle);
  if (found == state().ioObjects.end()) {
    recordMisuse(std::string(call) + " on an unknown object");
    return nullptr;
  }
  if (found->second->freed) {
    recordMisuse(std::string(call) + " on a freed object");
    return nullptr;
  }
  return found->second;
}

io_object_t handOut(Object* o) {
  const auto handle = static_cast<io_object_t>(0x1000 + state().ioObjects.size());
  state().ioObjects[handle] = o;
  return handle;
}

CFTypeRef asCF(Object* o) { return o; }

bool propertiesUnreadable(const Script& script) {
  return script.propertiesResult != KERN_SUCCESS || script.noProperties;
}

// The value the service holds, new, or null when it holds none.
Object* makeValue(const Script& script) {
  using Value = Script::Value;
  if (script.value == Value::absent) return nullptr;
  Object* value = make(script.value == Value::data     ? Kind::data
                       : script.value == Value::number ? Kind::number
                                                       : Kind::string);
  value->bytes = script.data;
  value->number = script.number;
  value->text = "a string";
  return value;
}

}  // namespace

void reset(const Script& script) {
  State& s = state();
  s.script = script;
  s.counts = {};
  s.misuse.clear();
  s.lookups = 0;
  s.keysRead.clear();
  s.tablesCopied = 0;
  s.objects.clear();
  s.known.clear();
  s.ioObjects.clear();
}

Counts counts() { return state().counts; }
std::vector<std::string> misuse() { return state().misuse; }
int lookupsBegun() { return state().lookups; }
std::vector<std::string> keysRead() { return state().keysRead; }
int tablesCopied() { return state().tablesCopied; }

}  // namespace fake_registry

using fake_registry::Kind;
using fake_registry::Object;
using fake_registry::state;

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  auto& strings = state().constantStrings;
  auto& o = strings[cStr];
  if (!o) {
    o = std::make_unique<Object>();
    o->kind = Kind::string;
    o->text = cStr;
  }
  return reinterpret_cast<CFStringRef>(o.get());
}

CFTypeRef CFRetain(CFTypeRef cf) {
  Object* o = fake_registry::live(cf, "CFRetain");
  if (o && !fake_registry::isConstant(cf)) {
    ++o->references;
    ++state().counts.retained;
  }
  return cf;
}

void CFRelease(CFTypeRef cf) {
  Object* o = fake_registry::live(cf, "CFRelease");
  if (o && !fake_registry::isConstant(cf)) fake_registry::release(o);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
  const Object* o = fake_registry::live(cf, "CFGetTypeID");
  if (!o) return 0;
  switch (o->kind) {
    case Kind::dictionary:
      return fake_registry::kDictionaryTypeID;
    case Kind::data:
      return fake_registry::kDataTypeID;
    case Kind::number:
      return fake_registry::kNumberTypeID;
    case Kind::string:
      return fake_registry::kStringTypeID;
    default:
      fake_registry::recordMisuse("CFGetTypeID on a registry object");
      return 0;
  }
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
  const Object* dict = fake_registry::live(theDict, "CFDictionaryGetValue");
  const Object* k = fake_registry::live(key, "CFDictionaryGetValue's key");
  if (!dict || !k) return nullptr;
  if (dict->kind != Kind::dictionary || k->kind != Kind::string) {
    fake_registry::recordMisuse("CFDictionaryGetValue on the wrong kind of object");
    return nullptr;
  }
  return dict->value && dict->key == k->text ? fake_registry::asCF(dict->value) : nullptr;
}

CFTypeID CFDataGetTypeID(void) { return fake_registry::kDataTypeID; }

CFIndex CFDataGetLength(CFDataRef theData) {
  const Object* o = fake_registry::live(theData, "CFDataGetLength");
  return o && o->kind == Kind::data ? static_cast<CFIndex>(o->bytes.size()) : 0;
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer) {
  const Object* o = fake_registry::live(theData, "CFDataGetBytes");
  if (!o || o->kind != Kind::data) return;
  if (range.location < 0 || range.length < 0 ||
      static_cast<std::size_t>(range.location + range.length) > o->bytes.size()) {
    fake_registry::recordMisuse("CFDataGetBytes past the end of the data");
    return;
  }
  std::memcpy(buffer, o->bytes.data() + range.location, static_cast<std::size_t>(range.length));
}

CFTypeID CFNumberGetTypeID(void) { return fake_registry::kNumberTypeID; }

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  const Object* o = fake_registry::live(number, "CFNumberGetValue");
  if (!o || o->kind != Kind::number) return false;
  if (theType != kCFNumberSInt64Type) {
    fake_registry::recordMisuse("CFNumberGetValue for a type other than SInt64");
    return false;
  }
  std::memcpy(valuePtr, &o->number, sizeof o->number);
  return true;
}

kern_return_t IOObjectRelease(io_object_t object) {
  Object* o = fake_registry::liveIO(object, "IOObjectRelease");
  if (!o) return 1;
  fake_registry::release(o);
  return KERN_SUCCESS;
}

CFMutableDictionaryRef IOServiceMatching(const char* name) {
  ++state().lookups;
  const auto& script = state().script;
  if (script.matchingFails) return nullptr;
  Object* matching = fake_registry::make(Kind::dictionary);
  matching->key = "IOProviderClass";
  // The class asked for travels in the description; only "IOHIDSystem" has services here.
  Object* className = fake_registry::make(Kind::string);
  className->text = name;
  matching->value = className;
  return reinterpret_cast<CFMutableDictionaryRef>(matching);
}

kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching,
                                           io_iterator_t* existing) {
  if (mainPort != MACH_PORT_NULL) fake_registry::recordMisuse("a main port other than the default");
  Object* description = fake_registry::live(matching, "IOServiceGetMatchingServices");
  if (!description) return 1;
  const bool hidSystem = description->value && description->value->text == "IOHIDSystem";
  fake_registry::release(description);  // consumed, on every path
  const auto& script = state().script;
  if (script.getServicesResult != KERN_SUCCESS) return script.getServicesResult;
  if (script.noIterator) {
    *existing = IO_OBJECT_NULL;
    return KERN_SUCCESS;
  }
  Object* iterator = fake_registry::make(Kind::iterator);
  iterator->servicesLeft = hidSystem ? script.services : 0;
  *existing = fake_registry::handOut(iterator);
  return KERN_SUCCESS;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
  Object* o = fake_registry::liveIO(iterator, "IOIteratorNext");
  if (!o || o->kind != Kind::iterator) return IO_OBJECT_NULL;
  if (o->servicesLeft == 0) return IO_OBJECT_NULL;
  --o->servicesLeft;
  return fake_registry::handOut(fake_registry::make(Kind::service));
}

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options) {
  const Object* service = fake_registry::liveIO(entry, "IORegistryEntryCreateCFProperty");
  const Object* k = fake_registry::live(key, "IORegistryEntryCreateCFProperty's key");
  if (!service || !k) return nullptr;
  if (service->kind != Kind::service || k->kind != Kind::string) {
    fake_registry::recordMisuse("IORegistryEntryCreateCFProperty on the wrong kind of object");
    return nullptr;
  }
  if (allocator != kCFAllocatorDefault)
    fake_registry::recordMisuse("an allocator other than default");
  if (options != 0) fake_registry::recordMisuse("options other than none");
  state().keysRead.push_back(k->text);
  const auto& script = state().script;
  if (script.propertyUnreadable || fake_registry::propertiesUnreadable(script) ||
      k->text != script.key) {
    return nullptr;
  }
  Object* value = fake_registry::makeValue(script);
  return value ? fake_registry::asCF(value) : nullptr;
}

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                CFMutableDictionaryRef* properties,
                                                CFAllocatorRef allocator, IOOptionBits options) {
  const Object* service = fake_registry::liveIO(entry, "IORegistryEntryCreateCFProperties");
  if (!service) return 1;
  if (service->kind != Kind::service) {
    fake_registry::recordMisuse("IORegistryEntryCreateCFProperties on the wrong kind of object");
    return 1;
  }
  if (allocator != kCFAllocatorDefault)
    fake_registry::recordMisuse("an allocator other than default");
  if (options != 0) fake_registry::recordMisuse("options other than none");
  ++state().tablesCopied;
  const auto& script = state().script;
  const bool fails = script.propertiesResult != KERN_SUCCESS;
  if ((fails && !script.propertiesDespiteError) || (!fails && script.noProperties)) {
    *properties = nullptr;
    return script.propertiesResult;
  }
  Object* dict = fake_registry::make(Kind::dictionary);
  dict->key = script.key;
  dict->value = fake_registry::makeValue(script);
  *properties = reinterpret_cast<CFMutableDictionaryRef>(dict);
  return script.propertiesResult;
}

}  // extern "C"
