// CFArray: an ordered sequence whose element ownership follows its callbacks.
#include "cf_containers.h"

namespace {

const void* RetainCF(CFAllocatorRef, const void* v) { return CFRetain(v); }
void ReleaseCF(CFAllocatorRef, const void* v) { CFRelease(v); }
Boolean EqualCF(const void* a, const void* b) { return CFEqual(a, b); }
CFHashCode HashCF(const void* v) { return CFHash(v); }

}  // namespace

extern "C" {
const CFArrayCallBacks kCFTypeArrayCallBacks = {0, RetainCF, ReleaseCF, nullptr, EqualCF};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, RetainCF, ReleaseCF,
                                                                nullptr, EqualCF, HashCF};
// Keys are strings, which are immutable here, so copying one is retaining it.
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, RetainCF, ReleaseCF, nullptr, EqualCF, HashCF};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, RetainCF, ReleaseCF,
                                                                    nullptr, EqualCF};
}

namespace cf {

const void* RetainValue(CFRetainCallBack retain, const void* v) {
  return retain ? retain(nullptr, v) : v;
}

void ReleaseValue(CFReleaseCallBack release, const void* v) {
  if (release) release(nullptr, v);
}

bool ValuesEqual(CFEqualCallBack equal, const void* a, const void* b) {
  if (a == b) return true;
  return equal && equal(a, b);
}

}  // namespace cf

__CFArray::__CFArray(bool is_mutable, const CFArrayCallBacks* cb)
    : Object(kTypeID), mutable_(is_mutable) {
  if (cb) callbacks = *cb;
}

__CFArray::~__CFArray() { Clear(); }

bool __CFArray::Equals(const Object& other) const {
  const auto& o = static_cast<const __CFArray&>(other);
  if (values.size() != o.values.size()) return false;
  for (size_t i = 0; i < values.size(); ++i) {
    if (!cf::ValuesEqual(callbacks.equal, values[i], o.values[i])) return false;
  }
  return true;
}

CFHashCode __CFArray::Hash() const { return values.size(); }

void __CFArray::Append(const void* value) {
  values.push_back(cf::RetainValue(callbacks.retain, value));
}

void __CFArray::RemoveAt(size_t index) {
  const void* v = values[index];
  values.erase(values.begin() + static_cast<long>(index));
  cf::ReleaseValue(callbacks.release, v);
}

void __CFArray::Clear() {
  std::vector<const void*> old;
  old.swap(values);
  for (const void* v : old) cf::ReleaseValue(callbacks.release, v);
}

extern "C" {

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks) {
  if (numValues < 0 || (!values && numValues > 0)) return nullptr;
  auto* a = new __CFArray(false, callBacks);
  a->values.reserve(static_cast<size_t>(numValues));
  for (CFIndex i = 0; i < numValues; ++i) a->Append(values[i]);
  return a;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks) {
  if (capacity < 0) return nullptr;
  return new __CFArray(true, callBacks);
}

CFIndex CFArrayGetCount(CFArrayRef array) {
  const auto* a = cf::As<__CFArray>(array);
  return a ? static_cast<CFIndex>(a->values.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex idx) {
  const auto* a = cf::As<__CFArray>(array);
  if (!a || idx < 0 || static_cast<size_t>(idx) >= a->values.size()) return nullptr;
  return a->values[static_cast<size_t>(idx)];
}

void CFArrayAppendValue(CFMutableArrayRef array, const void* value) {
  auto* a = cf::As<__CFArray>(array);
  if (a && a->mutable_) a->Append(value);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef array, CFIndex idx) {
  auto* a = cf::As<__CFArray>(array);
  if (!a || !a->mutable_ || idx < 0 || static_cast<size_t>(idx) >= a->values.size()) return;
  a->RemoveAt(static_cast<size_t>(idx));
}

void CFArrayRemoveAllValues(CFMutableArrayRef array) {
  auto* a = cf::As<__CFArray>(array);
  if (a && a->mutable_) a->Clear();
}

void CFArrayApplyFunction(CFArrayRef array, CFRange range, CFArrayApplierFunction applier,
                          void* context) {
  const auto* a = cf::As<__CFArray>(array);
  if (!a || !applier || range.location < 0 || range.length < 0) return;
  const auto begin = static_cast<size_t>(range.location);
  const auto count = static_cast<size_t>(range.length);
  for (size_t i = begin; i < a->values.size() && i - begin < count; ++i) {
    applier(a->values[i], context);
  }
}

}  // extern "C"
