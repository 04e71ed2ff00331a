// Reference counting, type numbers, equality and hashing of every CF object.
#include "cf_object.h"

#include "cf_types.h"

namespace cf {

CFHashCode HashBytes(const void* data, size_t size) {
  // FNV-1a: cheap and good enough for dictionary buckets.
  uint64_t h = 1469598103934665603ull;
  auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return static_cast<CFHashCode>(h);
}

}  // namespace cf

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf) {
  if (auto* o = const_cast<cf::Object*>(cf::AsObject(cf))) o->Retain();
  return cf;
}

void CFRelease(CFTypeRef cf) {
  auto* o = const_cast<cf::Object*>(cf::AsObject(cf));
  if (o && o->Release()) delete o;
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
  const cf::Object* o = cf::AsObject(cf);
  return o ? o->refs() : 0;
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
  const cf::Object* o = cf::AsObject(cf);
  return o ? o->type() : 0;
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
  if (a == b) return a != nullptr;
  const cf::Object* x = cf::AsObject(a);
  const cf::Object* y = cf::AsObject(b);
  if (!x || !y || x->type() != y->type()) return false;
  return x->Equals(*y);
}

CFHashCode CFHash(CFTypeRef cf) {
  const cf::Object* o = cf::AsObject(cf);
  return o ? o->Hash() : 0;
}

CFTypeID CFStringGetTypeID(void) { return cf::kStringTypeID; }
CFTypeID CFDictionaryGetTypeID(void) { return cf::kDictionaryTypeID; }
CFTypeID CFArrayGetTypeID(void) { return cf::kArrayTypeID; }
CFTypeID CFDataGetTypeID(void) { return cf::kDataTypeID; }
CFTypeID CFBooleanGetTypeID(void) { return cf::kBooleanTypeID; }
CFTypeID CFNumberGetTypeID(void) { return cf::kNumberTypeID; }
CFTypeID CFDateGetTypeID(void) { return cf::kDateTypeID; }
CFTypeID CFURLGetTypeID(void) { return cf::kURLTypeID; }
CFTypeID CFNullGetTypeID(void) { return cf::kNullTypeID; }
CFTypeID CFWriteStreamGetTypeID(void) { return cf::kWriteStreamTypeID; }
CFTypeID CFRunLoopGetTypeID(void) { return cf::kRunLoopTypeID; }

// The allocator arguments are accepted and ignored: every object uses the C++ heap.
const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = nullptr;

}  // extern "C"
