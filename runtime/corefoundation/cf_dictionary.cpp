// CFDictionary: key/value pairs in insertion order, with a hash index once it grows.
#include "cf_containers.h"

namespace {
// Below this many entries a linear search beats maintaining a hash index.
constexpr size_t kIndexThreshold = 12;
}  // namespace

__CFDictionary::__CFDictionary(bool is_mutable, const CFDictionaryKeyCallBacks* kcb,
                               const CFDictionaryValueCallBacks* vcb)
    : Object(kTypeID), mutable_(is_mutable) {
  if (kcb) key_callbacks = *kcb;
  if (vcb) value_callbacks = *vcb;
}

__CFDictionary::~__CFDictionary() {
  for (size_t i = 0; i < keys.size(); ++i) {
    cf::ReleaseValue(key_callbacks.release, keys[i]);
    cf::ReleaseValue(value_callbacks.release, values[i]);
  }
}

CFHashCode __CFDictionary::HashKey(const void* key) const {
  return key_callbacks.hash ? key_callbacks.hash(key) : reinterpret_cast<CFHashCode>(key);
}

bool __CFDictionary::KeysEqual(const void* a, const void* b) const {
  return cf::ValuesEqual(key_callbacks.equal, a, b);
}

void __CFDictionary::RebuildIndex() {
  index_.clear();
  indexed_ = keys.size() >= kIndexThreshold;
  if (!indexed_) return;
  index_.reserve(keys.size() * 2);
  for (size_t i = 0; i < keys.size(); ++i) index_.emplace(HashKey(keys[i]), i);
}

long __CFDictionary::IndexOf(const void* key) const {
  if (indexed_) {
    auto [lo, hi] = index_.equal_range(HashKey(key));
    for (auto it = lo; it != hi; ++it) {
      if (KeysEqual(keys[it->second], key)) return static_cast<long>(it->second);
    }
    return -1;
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    if (KeysEqual(keys[i], key)) return static_cast<long>(i);
  }
  return -1;
}

void __CFDictionary::Put(const void* key, const void* value, bool replace) {
  const long at = IndexOf(key);
  if (at >= 0) {
    if (!replace) return;
    const void* old = values[static_cast<size_t>(at)];
    values[static_cast<size_t>(at)] = cf::RetainValue(value_callbacks.retain, value);
    cf::ReleaseValue(value_callbacks.release, old);
    return;
  }
  keys.push_back(cf::RetainValue(key_callbacks.retain, key));
  values.push_back(cf::RetainValue(value_callbacks.retain, value));
  if (indexed_) {
    index_.emplace(HashKey(key), keys.size() - 1);
  } else if (keys.size() >= kIndexThreshold) {
    RebuildIndex();
  }
}

void __CFDictionary::Remove(const void* key) {
  const long at = IndexOf(key);
  if (at < 0) return;
  const void* old_key = keys[static_cast<size_t>(at)];
  const void* old_value = values[static_cast<size_t>(at)];
  keys.erase(keys.begin() + at);
  values.erase(values.begin() + at);
  RebuildIndex();
  cf::ReleaseValue(key_callbacks.release, old_key);
  cf::ReleaseValue(value_callbacks.release, old_value);
}

bool __CFDictionary::Equals(const Object& other) const {
  const auto& o = static_cast<const __CFDictionary&>(other);
  if (keys.size() != o.keys.size()) return false;
  for (size_t i = 0; i < keys.size(); ++i) {
    const long j = o.IndexOf(keys[i]);
    if (j < 0 || !cf::ValuesEqual(value_callbacks.equal, values[i],
                                  o.values[static_cast<size_t>(j)])) {
      return false;
    }
  }
  return true;
}

CFHashCode __CFDictionary::Hash() const { return keys.size(); }

extern "C" {

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values,
                                   CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
  if (numValues < 0 || (numValues > 0 && (!keys || !values))) return nullptr;
  auto* d = new __CFDictionary(false, keyCallBacks, valueCallBacks);
  for (CFIndex i = 0; i < numValues; ++i) d->Put(keys[i], values[i], true);
  return d;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
  if (capacity < 0) return nullptr;
  return new __CFDictionary(true, keyCallBacks, valueCallBacks);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dict) {
  const auto* d = cf::As<__CFDictionary>(dict);
  return d ? static_cast<CFIndex>(d->keys.size()) : 0;
}

const void* CFDictionaryGetValue(CFDictionaryRef dict, const void* key) {
  const auto* d = cf::As<__CFDictionary>(dict);
  if (!d) return nullptr;
  const long at = d->IndexOf(key);
  return at < 0 ? nullptr : d->values[static_cast<size_t>(at)];
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef dict, const void* key,
                                      const void** value) {
  const auto* d = cf::As<__CFDictionary>(dict);
  if (!d) return false;
  const long at = d->IndexOf(key);
  if (at < 0) return false;
  if (value) *value = d->values[static_cast<size_t>(at)];
  return true;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef dict, const void* key) {
  const auto* d = cf::As<__CFDictionary>(dict);
  return d && d->IndexOf(key) >= 0;
}

Boolean CFDictionaryContainsValue(CFDictionaryRef dict, const void* value) {
  const auto* d = cf::As<__CFDictionary>(dict);
  if (!d) return false;
  for (const void* v : d->values) {
    if (cf::ValuesEqual(d->value_callbacks.equal, v, value)) return true;
  }
  return false;
}

void CFDictionaryAddValue(CFMutableDictionaryRef dict, const void* key, const void* value) {
  auto* d = cf::As<__CFDictionary>(dict);
  if (d && d->mutable_) d->Put(key, value, false);
}

void CFDictionarySetValue(CFMutableDictionaryRef dict, const void* key, const void* value) {
  auto* d = cf::As<__CFDictionary>(dict);
  if (d && d->mutable_) d->Put(key, value, true);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef dict, const void* key) {
  auto* d = cf::As<__CFDictionary>(dict);
  if (d && d->mutable_) d->Remove(key);
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef dict, const void** keys, const void** values) {
  const auto* d = cf::As<__CFDictionary>(dict);
  if (!d) return;
  for (size_t i = 0; i < d->keys.size(); ++i) {
    if (keys) keys[i] = d->keys[i];
    if (values) values[i] = d->values[i];
  }
}

void CFDictionaryApplyFunction(CFDictionaryRef dict, CFDictionaryApplierFunction applier,
                               void* context) {
  const auto* d = cf::As<__CFDictionary>(dict);
  if (!d || !applier) return;
  for (size_t i = 0; i < d->keys.size(); ++i) applier(d->keys[i], d->values[i], context);
}

}  // extern "C"
