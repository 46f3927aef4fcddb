// IOKitLib.h (test stand-in): only what the idle time lookup calls, with the signatures of
// Apple's headers, so that the lookup compiles unchanged on Linux against a counting fake.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int kern_return_t;
#define KERN_SUCCESS 0

typedef unsigned int natural_t;
typedef natural_t mach_port_t;
#define MACH_PORT_NULL 0

typedef UInt32 IOOptionBits;
typedef mach_port_t io_object_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_service_t;
typedef io_object_t io_registry_entry_t;
#define IO_OBJECT_NULL ((io_object_t)0)

kern_return_t IOObjectRelease(io_object_t object);

CFMutableDictionaryRef IOServiceMatching(const char* name);
// Consumes one reference to `matching`, whatever it returns.
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);
io_object_t IOIteratorNext(io_iterator_t iterator);

// A new reference to the value under `key`, or NULL when the key is absent or unreadable.
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);
// A new dictionary of all the entry's properties in `*properties`.
kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                CFMutableDictionaryRef* properties,
                                                CFAllocatorRef allocator, IOOptionBits options);

#ifdef __cplusplus
}
#endif
