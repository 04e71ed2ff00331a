/* CoreFoundation layer: the C interface of libCoreFoundation.so.
 *
 * Objects are reference counted (thread-safe); functions named Create or Copy return an
 * object the caller releases with CFRelease. Every function checks the type of the object
 * it is given and fails (NULL, 0 or false) on a wrong type instead of misbehaving.
 * Type numbers: 7 string, 18 dictionary, 19 array, 20 data, 21 boolean, 22 number,
 * 42 date, 29 URL, 16 null, 38 write stream, 43 run loop. */
#ifndef VADO_COREFOUNDATION_H
#define VADO_COREFOUNDATION_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CF_EXPORT __attribute__((visibility("default")))

typedef unsigned char Boolean;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFHashCode;
typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;
typedef uint32_t CFStringEncoding;

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFData* CFDataRef;
typedef struct __CFData* CFMutableDataRef;
typedef const struct __CFDate* CFDateRef;
typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef const struct __CFURL* CFURLRef;
typedef const struct __CFNull* CFNullRef;
typedef const struct __CFError* CFErrorRef;
typedef struct __CFWriteStream* CFWriteStreamRef;
typedef struct __CFRunLoop* CFRunLoopRef;
typedef CFTypeRef CFPropertyListRef;

typedef struct {
  CFIndex location;
  CFIndex length;
} CFRange;

enum { kCFNotFound = -1 };

/* Encodings understood by the string functions. */
enum {
  kCFStringEncodingMacRoman = 0,
  kCFStringEncodingASCII = 0x0600,
  kCFStringEncodingISOLatin1 = 0x0201,
  kCFStringEncodingUTF8 = 0x08000100,
};

typedef enum {
  kCFNumberSInt8Type = 1,
  kCFNumberSInt16Type = 2,
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberFloat32Type = 5,
  kCFNumberFloat64Type = 6,
  kCFNumberCharType = 7,
  kCFNumberShortType = 8,
  kCFNumberIntType = 9,
  kCFNumberLongType = 10,
  kCFNumberLongLongType = 11,
  kCFNumberFloatType = 12,
  kCFNumberDoubleType = 13,
  kCFNumberCFIndexType = 14,
  kCFNumberNSIntegerType = 15,
  kCFNumberCGFloatType = 16,
  kCFNumberMaxType = 16
} CFNumberType;

typedef enum {
  kCFPropertyListOpenStepFormat = 1,
  kCFPropertyListXMLFormat_v1_0 = 100,
  kCFPropertyListBinaryFormat_v1_0 = 200
} CFPropertyListFormat;

enum {
  kCFPropertyListImmutable = 0,
  kCFPropertyListMutableContainers = 1,
  kCFPropertyListMutableContainersAndLeaves = 2
};

/* Container callbacks. NULL callbacks store pointers as they are (no retain, pointer
 * equality); the kCFType ones retain, release and compare with CFEqual/CFHash. */
typedef const void* (*CFRetainCallBack)(CFAllocatorRef, const void*);
typedef void (*CFReleaseCallBack)(CFAllocatorRef, const void*);
typedef CFStringRef (*CFCopyDescriptionCallBack)(const void*);
typedef Boolean (*CFEqualCallBack)(const void*, const void*);
typedef CFHashCode (*CFHashCallBack)(const void*);

typedef struct {
  CFIndex version;
  CFRetainCallBack retain;
  CFReleaseCallBack release;
  CFCopyDescriptionCallBack copyDescription;
  CFEqualCallBack equal;
} CFArrayCallBacks;

typedef struct {
  CFIndex version;
  CFRetainCallBack retain;
  CFReleaseCallBack release;
  CFCopyDescriptionCallBack copyDescription;
  CFEqualCallBack equal;
  CFHashCallBack hash;
} CFDictionaryKeyCallBacks;

typedef struct {
  CFIndex version;
  CFRetainCallBack retain;
  CFReleaseCallBack release;
  CFCopyDescriptionCallBack copyDescription;
  CFEqualCallBack equal;
} CFDictionaryValueCallBacks;

typedef void (*CFDictionaryApplierFunction)(const void* key, const void* value, void* context);
typedef void (*CFArrayApplierFunction)(const void* value, void* context);

CF_EXPORT extern const CFAllocatorRef kCFAllocatorDefault;
CF_EXPORT extern const CFAllocatorRef kCFAllocatorSystemDefault;
CF_EXPORT extern const CFArrayCallBacks kCFTypeArrayCallBacks;
CF_EXPORT extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
CF_EXPORT extern const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks;
CF_EXPORT extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
CF_EXPORT extern const CFBooleanRef kCFBooleanTrue;
CF_EXPORT extern const CFBooleanRef kCFBooleanFalse;
CF_EXPORT extern const CFNullRef kCFNull;
CF_EXPORT extern const CFStringRef kCFStreamPropertyDataWritten;
CF_EXPORT extern const CFStringRef kCFRunLoopDefaultMode;
CF_EXPORT extern const CFStringRef kCFRunLoopCommonModes;

/* Any object. */
CF_EXPORT CFTypeRef CFRetain(CFTypeRef cf);
CF_EXPORT void CFRelease(CFTypeRef cf);
CF_EXPORT CFIndex CFGetRetainCount(CFTypeRef cf);
CF_EXPORT CFTypeID CFGetTypeID(CFTypeRef cf);
CF_EXPORT Boolean CFEqual(CFTypeRef a, CFTypeRef b);
CF_EXPORT CFHashCode CFHash(CFTypeRef cf);

CF_EXPORT CFTypeID CFStringGetTypeID(void);
CF_EXPORT CFTypeID CFDictionaryGetTypeID(void);
CF_EXPORT CFTypeID CFArrayGetTypeID(void);
CF_EXPORT CFTypeID CFDataGetTypeID(void);
CF_EXPORT CFTypeID CFBooleanGetTypeID(void);
CF_EXPORT CFTypeID CFNumberGetTypeID(void);
CF_EXPORT CFTypeID CFDateGetTypeID(void);
CF_EXPORT CFTypeID CFURLGetTypeID(void);
CF_EXPORT CFTypeID CFNullGetTypeID(void);
CF_EXPORT CFTypeID CFWriteStreamGetTypeID(void);
CF_EXPORT CFTypeID CFRunLoopGetTypeID(void);

/* Strings: UTF-16 text. */
CF_EXPORT CFStringRef __CFStringMakeConstantString(const char* cStr);
CF_EXPORT CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                                CFStringEncoding encoding);
CF_EXPORT CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const uint8_t* bytes,
                                              CFIndex numBytes, CFStringEncoding encoding,
                                              Boolean isExternalRepresentation);
CF_EXPORT CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const uint16_t* chars,
                                                   CFIndex numChars);
CF_EXPORT CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef str);
CF_EXPORT CFIndex CFStringGetLength(CFStringRef str);
CF_EXPORT uint16_t CFStringGetCharacterAtIndex(CFStringRef str, CFIndex idx);
CF_EXPORT Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize,
                                     CFStringEncoding encoding);
CF_EXPORT const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding encoding);
CF_EXPORT CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

/* Numbers and booleans. */
CF_EXPORT CFNumberRef CFNumberCreate(CFAllocatorRef alloc, CFNumberType type,
                                     const void* valuePtr);
CF_EXPORT CFNumberType CFNumberGetType(CFNumberRef number);
CF_EXPORT CFIndex CFNumberGetByteSize(CFNumberRef number);
CF_EXPORT Boolean CFNumberIsFloatType(CFNumberRef number);
CF_EXPORT Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* valuePtr);
CF_EXPORT Boolean CFBooleanGetValue(CFBooleanRef boolean);

/* Data. */
CF_EXPORT CFDataRef CFDataCreate(CFAllocatorRef alloc, const uint8_t* bytes, CFIndex length);
CF_EXPORT CFDataRef CFDataCreateCopy(CFAllocatorRef alloc, CFDataRef data);
CF_EXPORT CFMutableDataRef CFDataCreateMutable(CFAllocatorRef alloc, CFIndex capacity);
CF_EXPORT void CFDataAppendBytes(CFMutableDataRef data, const uint8_t* bytes, CFIndex length);
CF_EXPORT CFIndex CFDataGetLength(CFDataRef data);
CF_EXPORT const uint8_t* CFDataGetBytePtr(CFDataRef data);
CF_EXPORT void CFDataGetBytes(CFDataRef data, CFRange range, uint8_t* buffer);

/* Dates: seconds since 2001-01-01 00:00:00 UTC. */
CF_EXPORT CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);
CF_EXPORT CFDateRef CFDateCreate(CFAllocatorRef alloc, CFAbsoluteTime at);
CF_EXPORT CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef date);

/* Arrays. */
CF_EXPORT CFArrayRef CFArrayCreate(CFAllocatorRef alloc, const void** values, CFIndex numValues,
                                   const CFArrayCallBacks* callBacks);
CF_EXPORT CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef alloc, CFIndex capacity,
                                                 const CFArrayCallBacks* callBacks);
CF_EXPORT CFIndex CFArrayGetCount(CFArrayRef array);
CF_EXPORT const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex idx);
CF_EXPORT void CFArrayAppendValue(CFMutableArrayRef array, const void* value);
CF_EXPORT void CFArrayRemoveValueAtIndex(CFMutableArrayRef array, CFIndex idx);
CF_EXPORT void CFArrayRemoveAllValues(CFMutableArrayRef array);
CF_EXPORT void CFArrayApplyFunction(CFArrayRef array, CFRange range,
                                    CFArrayApplierFunction applier, void* context);

/* Dictionaries: insertion order is kept for enumeration. */
CF_EXPORT CFDictionaryRef CFDictionaryCreate(CFAllocatorRef alloc, const void** keys,
                                             const void** values, CFIndex numValues,
                                             const CFDictionaryKeyCallBacks* keyCallBacks,
                                             const CFDictionaryValueCallBacks* valueCallBacks);
CF_EXPORT CFMutableDictionaryRef CFDictionaryCreateMutable(
    CFAllocatorRef alloc, CFIndex capacity, const CFDictionaryKeyCallBacks* keyCallBacks,
    const CFDictionaryValueCallBacks* valueCallBacks);
CF_EXPORT CFIndex CFDictionaryGetCount(CFDictionaryRef dict);
CF_EXPORT const void* CFDictionaryGetValue(CFDictionaryRef dict, const void* key);
CF_EXPORT Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef dict, const void* key,
                                                const void** value);
CF_EXPORT Boolean CFDictionaryContainsKey(CFDictionaryRef dict, const void* key);
CF_EXPORT Boolean CFDictionaryContainsValue(CFDictionaryRef dict, const void* value);
CF_EXPORT void CFDictionaryAddValue(CFMutableDictionaryRef dict, const void* key,
                                    const void* value);
CF_EXPORT void CFDictionarySetValue(CFMutableDictionaryRef dict, const void* key,
                                    const void* value);
CF_EXPORT void CFDictionaryRemoveValue(CFMutableDictionaryRef dict, const void* key);
CF_EXPORT void CFDictionaryGetKeysAndValues(CFDictionaryRef dict, const void** keys,
                                            const void** values);
CF_EXPORT void CFDictionaryApplyFunction(CFDictionaryRef dict,
                                         CFDictionaryApplierFunction applier, void* context);

/* URLs (file-system paths only). */
enum { kCFURLPOSIXPathStyle = 0, kCFURLWindowsPathStyle = 2 };
typedef CFIndex CFURLPathStyle;
CF_EXPORT CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef alloc, CFStringRef filePath,
                                                 CFURLPathStyle pathStyle, Boolean isDirectory);
CF_EXPORT Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase,
                                                   uint8_t* buffer, CFIndex maxBufLen);

/* Property lists through libplist. Accepted input: binary ("bplist00") and XML. Input
 * nested deeper than 256 containers, or whose shared references would expand past a
 * bound proportional to its size, is refused (NULL). */
CF_EXPORT CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef alloc, CFDataRef data,
                                                         CFOptionFlags options,
                                                         CFPropertyListFormat* format,
                                                         CFErrorRef* error);
CF_EXPORT CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef alloc,
                                                            CFDataRef xmlData,
                                                            CFOptionFlags mutabilityOption,
                                                            CFStringRef* errorString);
CF_EXPORT CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef alloc, CFPropertyListRef plist);
CF_EXPORT CFDataRef CFPropertyListCreateData(CFAllocatorRef alloc, CFPropertyListRef plist,
                                             CFPropertyListFormat format, CFOptionFlags options,
                                             CFErrorRef* error);
CF_EXPORT CFIndex CFPropertyListWriteToStream(CFPropertyListRef plist, CFWriteStreamRef stream,
                                              CFPropertyListFormat format,
                                              CFStringRef* errorString);
CF_EXPORT Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);

/* Write streams into memory. */
CF_EXPORT CFWriteStreamRef CFWriteStreamCreateWithAllocatedBuffers(CFAllocatorRef alloc,
                                                                   CFAllocatorRef bufferAllocator);
CF_EXPORT Boolean CFWriteStreamOpen(CFWriteStreamRef stream);
CF_EXPORT CFIndex CFWriteStreamWrite(CFWriteStreamRef stream, const uint8_t* buffer,
                                     CFIndex bufferLength);
CF_EXPORT CFTypeRef CFWriteStreamCopyProperty(CFWriteStreamRef stream, CFStringRef propertyName);
CF_EXPORT void CFWriteStreamClose(CFWriteStreamRef stream);

/* Run loops: one per thread. Work posted from any thread runs on the loop's thread. */
typedef enum {
  kCFRunLoopRunFinished = 1,
  kCFRunLoopRunStopped = 2,
  kCFRunLoopRunTimedOut = 3,
  kCFRunLoopRunHandledSource = 4
} CFRunLoopRunResult;
typedef void (*CFRunLoopWorkFunction)(void* context);
CF_EXPORT CFRunLoopRef CFRunLoopGetCurrent(void);
CF_EXPORT CFRunLoopRef CFRunLoopGetMain(void);
/* Runs the current thread's loop until CFRunLoopStop. */
CF_EXPORT void CFRunLoopRun(void);
CF_EXPORT CFRunLoopRunResult CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                                                Boolean returnAfterSourceHandled);
CF_EXPORT void CFRunLoopStop(CFRunLoopRef rl);
CF_EXPORT void CFRunLoopWakeUp(CFRunLoopRef rl);
/* Queues fn(context) to run on the loop's thread, in posting order. */
CF_EXPORT void CFRunLoopPerformFunction(CFRunLoopRef rl, CFRunLoopWorkFunction fn,
                                        void* context);
CF_EXPORT Boolean CFRunLoopIsWaiting(CFRunLoopRef rl);

#ifdef __cplusplus
}
#endif

#endif
