// Helpers for the CoreFoundation tests.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <memory>
#include <string>
#include <type_traits>

struct CFReleaser {
  void operator()(const void* cf) const {
    if (cf) CFRelease(cf);
  }
};
template <typename T>
using CFPtr = std::unique_ptr<std::remove_pointer_t<T>, CFReleaser>;

inline CFPtr<CFStringRef> Str(const char* utf8) {
  return CFPtr<CFStringRef>(CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8));
}

inline CFPtr<CFDataRef> Bytes(const std::string& s) {
  return CFPtr<CFDataRef>(
      CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(s.data()), static_cast<CFIndex>(s.size())));
}

inline std::string ToString(CFDataRef d) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d)),
                     static_cast<size_t>(CFDataGetLength(d)));
}
