// CFNumber, CFBoolean and CFNull.
#include <cmath>
#include <cstring>
#include <limits>

#include "cf_types.h"

namespace {

// The type a number reports: platform aliases fold into the fixed-size type they stand
// for, except Int, which callers treat like SInt32 and which keeps its own code.
CFNumberType Canonical(CFNumberType t) {
  switch (t) {
    case kCFNumberCharType: return kCFNumberSInt8Type;
    case kCFNumberShortType: return kCFNumberSInt16Type;
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType: return kCFNumberSInt64Type;
    case kCFNumberFloatType: return kCFNumberFloat32Type;
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType: return kCFNumberFloat64Type;
    default: return t;
  }
}

size_t ByteSize(CFNumberType t) {
  switch (Canonical(t)) {
    case kCFNumberSInt8Type: return 1;
    case kCFNumberSInt16Type: return 2;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
    case kCFNumberFloat32Type: return 4;
    case kCFNumberSInt64Type:
    case kCFNumberFloat64Type: return 8;
    default: return 0;
  }
}

bool IsFloat(CFNumberType t) {
  const CFNumberType c = Canonical(t);
  return c == kCFNumberFloat32Type || c == kCFNumberFloat64Type;
}

template <typename T>
bool StoreInt(int64_t v, void* out) {
  const T narrowed = static_cast<T>(v);
  std::memcpy(out, &narrowed, sizeof narrowed);
  return static_cast<int64_t>(narrowed) == v;
}

// Converts a double to an integer of type T, saturating; exact only when no fraction
// was lost and the value is in range.
template <typename T>
bool StoreIntFromDouble(double d, void* out) {
  T v;
  bool exact;
  if (std::isnan(d)) {
    v = 0, exact = false;
  } else if (d <= static_cast<double>(std::numeric_limits<T>::min())) {
    v = std::numeric_limits<T>::min(), exact = d == static_cast<double>(v);
  } else if (d >= static_cast<double>(std::numeric_limits<T>::max())) {
    v = std::numeric_limits<T>::max(), exact = false;
  } else {
    v = static_cast<T>(d), exact = static_cast<double>(v) == d;
  }
  std::memcpy(out, &v, sizeof v);
  return exact;
}

}  // namespace

bool __CFNumber::Equals(const Object& other) const {
  const auto& o = static_cast<const __CFNumber&>(other);
  if (is_float || o.is_float) {
    const double a = is_float ? d : static_cast<double>(i);
    const double b = o.is_float ? o.d : static_cast<double>(o.i);
    return a == b;
  }
  return i == o.i;
}

CFHashCode __CFNumber::Hash() const {
  // Integral floats hash like the integer of the same value, so equal numbers hash alike.
  if (is_float && !(d == std::floor(d) && std::fabs(d) < 9.2e18)) {
    return cf::HashBytes(&d, sizeof d);
  }
  const int64_t v = is_float ? static_cast<int64_t>(d) : i;
  return cf::HashBytes(&v, sizeof v);
}

namespace cf {

__CFNumber* NewInt64(int64_t v) {
  auto* n = new __CFNumber();
  n->number_type = kCFNumberSInt64Type;
  n->i = v;
  return n;
}

__CFNumber* NewFloat64(double v) {
  auto* n = new __CFNumber();
  n->number_type = kCFNumberFloat64Type;
  n->is_float = true;
  n->d = v;
  return n;
}

}  // namespace cf

namespace {

__CFBoolean* TrueObject() {
  static auto* b = [] {
    auto* o = new __CFBoolean(true);
    o->MakeImmortal();
    return o;
  }();
  return b;
}

__CFBoolean* FalseObject() {
  static auto* b = [] {
    auto* o = new __CFBoolean(false);
    o->MakeImmortal();
    return o;
  }();
  return b;
}

__CFNull* NullObject() {
  static auto* n = [] {
    auto* o = new __CFNull();
    o->MakeImmortal();
    return o;
  }();
  return n;
}

}  // namespace

CFBooleanRef cf::Boolean(bool v) { return v ? TrueObject() : FalseObject(); }

extern "C" {

const CFBooleanRef kCFBooleanTrue = TrueObject();
const CFBooleanRef kCFBooleanFalse = FalseObject();
const CFNullRef kCFNull = NullObject();

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* valuePtr) {
  if (!valuePtr || ByteSize(type) == 0) return nullptr;
  auto* n = new __CFNumber();
  n->number_type = Canonical(type);
  n->is_float = IsFloat(type);
  switch (n->number_type) {
    case kCFNumberSInt8Type: { int8_t v; std::memcpy(&v, valuePtr, 1); n->i = v; break; }
    case kCFNumberSInt16Type: { int16_t v; std::memcpy(&v, valuePtr, 2); n->i = v; break; }
    case kCFNumberSInt32Type:
    case kCFNumberIntType: { int32_t v; std::memcpy(&v, valuePtr, 4); n->i = v; break; }
    case kCFNumberSInt64Type: { int64_t v; std::memcpy(&v, valuePtr, 8); n->i = v; break; }
    case kCFNumberFloat32Type: { float v; std::memcpy(&v, valuePtr, 4); n->d = v; break; }
    default: { double v; std::memcpy(&v, valuePtr, 8); n->d = v; break; }
  }
  return n;
}

CFNumberType CFNumberGetType(CFNumberRef number) {
  const auto* n = cf::As<__CFNumber>(number);
  return n ? n->number_type : static_cast<CFNumberType>(0);
}

CFIndex CFNumberGetByteSize(CFNumberRef number) {
  const auto* n = cf::As<__CFNumber>(number);
  return n ? static_cast<CFIndex>(ByteSize(n->number_type)) : 0;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
  const auto* n = cf::As<__CFNumber>(number);
  return n && n->is_float;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* valuePtr) {
  const auto* n = cf::As<__CFNumber>(number);
  if (!n || !valuePtr || ByteSize(type) == 0) return false;
  const CFNumberType want = Canonical(type);
  if (want == kCFNumberFloat32Type || want == kCFNumberFloat64Type) {
    const double v = n->is_float ? n->d : static_cast<double>(n->i);
    if (want == kCFNumberFloat64Type) {
      std::memcpy(valuePtr, &v, sizeof v);
      return n->is_float || static_cast<int64_t>(v) == n->i;
    }
    const float f = static_cast<float>(v);
    std::memcpy(valuePtr, &f, sizeof f);
    return std::isnan(v) || static_cast<double>(f) == v;
  }
  if (n->is_float) {
    switch (want) {
      case kCFNumberSInt8Type: return StoreIntFromDouble<int8_t>(n->d, valuePtr);
      case kCFNumberSInt16Type: return StoreIntFromDouble<int16_t>(n->d, valuePtr);
      case kCFNumberSInt32Type:
      case kCFNumberIntType: return StoreIntFromDouble<int32_t>(n->d, valuePtr);
      default: return StoreIntFromDouble<int64_t>(n->d, valuePtr);
    }
  }
  switch (want) {
    case kCFNumberSInt8Type: return StoreInt<int8_t>(n->i, valuePtr);
    case kCFNumberSInt16Type: return StoreInt<int16_t>(n->i, valuePtr);
    case kCFNumberSInt32Type:
    case kCFNumberIntType: return StoreInt<int32_t>(n->i, valuePtr);
    default: return StoreInt<int64_t>(n->i, valuePtr);
  }
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  const auto* b = cf::As<__CFBoolean>(boolean);
  return b && b->value;
}

}  // extern "C"
