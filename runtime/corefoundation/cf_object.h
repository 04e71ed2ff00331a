// Object model of the CoreFoundation layer: every CF object derives from cf::Object,
// which carries a marker, the type number and an atomic reference count.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace cf {

enum : CFTypeID {
  kNullTypeID = 16,
  kStringTypeID = 7,
  kDictionaryTypeID = 18,
  kArrayTypeID = 19,
  kDataTypeID = 20,
  kBooleanTypeID = 21,
  kNumberTypeID = 22,
  kURLTypeID = 29,
  kWriteStreamTypeID = 38,
  kDateTypeID = 42,
  kRunLoopTypeID = 43,
};

// Distinguishes our objects from arbitrary pointers handed in by mistake.
constexpr uint32_t kObjectMarker = 0x43467642;

class Object {
 public:
  explicit Object(CFTypeID type) : type_(type) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  CFTypeID type() const { return type_; }
  bool is_valid() const { return marker_ == kObjectMarker; }

  // Objects that live for the whole process (constants, interned strings, run loops)
  // ignore retain and release.
  void MakeImmortal() { immortal_ = true; }
  void Retain() {
    if (!immortal_) refs_.fetch_add(1, std::memory_order_relaxed);
  }
  // True when the last reference went away.
  bool Release() {
    if (immortal_) return false;
    return refs_.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }
  long refs() const { return immortal_ ? LONG_MAX : refs_.load(std::memory_order_relaxed); }

  virtual bool Equals(const Object& other) const { return this == &other; }
  virtual CFHashCode Hash() const { return reinterpret_cast<CFHashCode>(this); }

 private:
  uint32_t marker_ = kObjectMarker;
  CFTypeID type_;
  bool immortal_ = false;
  std::atomic<long> refs_{1};
};

inline const Object* AsObject(CFTypeRef cf) {
  auto* o = static_cast<const Object*>(cf);
  return (o && o->is_valid()) ? o : nullptr;
}

// The object as T when it is a valid object of T's type number, else null.
template <typename T>
T* As(CFTypeRef cf) {
  const Object* o = AsObject(cf);
  if (!o || o->type() != T::kTypeID) return nullptr;
  return static_cast<T*>(const_cast<Object*>(o));
}

CFHashCode HashBytes(const void* data, size_t size);

}  // namespace cf
