// CoreFoundation.h (test stand-in): only what the idle time lookup calls, with the signatures of
// Apple's headers, so that the lookup compiles unchanged on Linux against a counting fake.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char Boolean;
typedef unsigned char UInt8;
typedef unsigned int UInt32;
typedef signed long long SInt64;

typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef signed long CFIndex;

typedef struct {
  CFIndex location;
  CFIndex length;
} CFRange;

static inline CFRange CFRangeMake(CFIndex loc, CFIndex len) {
  CFRange range;
  range.location = loc;
  range.length = len;
  return range;
}

typedef const struct __CFAllocator* CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;

typedef const struct __CFString* CFStringRef;
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;

typedef const struct __CFData* CFDataRef;

typedef const struct __CFNumber* CFNumberRef;
typedef CFIndex CFNumberType;
enum { kCFNumberSInt64Type = 4 };

CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

CFTypeID CFDataGetTypeID(void);
CFIndex CFDataGetLength(CFDataRef theData);
void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer);

CFTypeID CFNumberGetTypeID(void);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);

#ifdef __cplusplus
}
#endif
