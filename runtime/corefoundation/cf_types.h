// Concrete CF object types shared by the layer's source files.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cf_object.h"

struct __CFString : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kStringTypeID;
  __CFString(std::u16string t, std::string u) : Object(kTypeID), text(std::move(t)),
                                                 utf8(std::move(u)) {}
  bool Equals(const Object& other) const override;
  CFHashCode Hash() const override;

  const std::u16string text;
  const std::string utf8;  // the same text as UTF-8, kept for fast C-string access
};

struct __CFNumber : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kNumberTypeID;
  __CFNumber() : Object(kTypeID) {}
  bool Equals(const Object& other) const override;
  CFHashCode Hash() const override;

  CFNumberType number_type = kCFNumberSInt64Type;  // canonical type
  bool is_float = false;
  int64_t i = 0;
  double d = 0;
};

struct __CFBoolean : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kBooleanTypeID;
  explicit __CFBoolean(bool v) : Object(kTypeID), value(v) {}
  const bool value;
};

struct __CFNull : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kNullTypeID;
  __CFNull() : Object(kTypeID) {}
};

struct __CFData : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kDataTypeID;
  explicit __CFData(bool is_mutable) : Object(kTypeID), mutable_(is_mutable) {}
  bool Equals(const Object& other) const override;
  CFHashCode Hash() const override;

  const bool mutable_;
  std::vector<uint8_t> bytes;
};

struct __CFDate : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kDateTypeID;
  explicit __CFDate(CFAbsoluteTime t) : Object(kTypeID), at(t) {}
  bool Equals(const Object& other) const override;
  CFHashCode Hash() const override;
  const CFAbsoluteTime at;
};

struct __CFURL : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kURLTypeID;
  __CFURL(std::string p, bool dir) : Object(kTypeID), path(std::move(p)), is_directory(dir) {}
  bool Equals(const Object& other) const override;
  CFHashCode Hash() const override;
  const std::string path;
  const bool is_directory;
};

struct __CFArray : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kArrayTypeID;
  __CFArray(bool is_mutable, const CFArrayCallBacks* cb);
  ~__CFArray() override;
  bool Equals(const Object& other) const override;
  CFHashCode Hash() const override;

  void Append(const void* value);
  void RemoveAt(size_t index);
  void Clear();

  const bool mutable_;
  CFArrayCallBacks callbacks{};  // all null when created with NULL callbacks
  std::vector<const void*> values;
};

struct __CFDictionary : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kDictionaryTypeID;
  __CFDictionary(bool is_mutable, const CFDictionaryKeyCallBacks* kcb,
                 const CFDictionaryValueCallBacks* vcb);
  ~__CFDictionary() override;
  bool Equals(const Object& other) const override;
  CFHashCode Hash() const override;

  // Index of `key`, or -1.
  long IndexOf(const void* key) const;
  // Adds or, when `replace`, replaces; keeps insertion order for new keys.
  void Put(const void* key, const void* value, bool replace);
  void Remove(const void* key);

  const bool mutable_;
  CFDictionaryKeyCallBacks key_callbacks{};
  CFDictionaryValueCallBacks value_callbacks{};
  std::vector<const void*> keys;
  std::vector<const void*> values;

 private:
  CFHashCode HashKey(const void* key) const;
  bool KeysEqual(const void* a, const void* b) const;
  void RebuildIndex();
  // Hash index, built only once the dictionary is large enough for linear search to hurt.
  std::unordered_multimap<CFHashCode, size_t> index_;
  bool indexed_ = false;
};

struct __CFWriteStream : cf::Object {
  static constexpr CFTypeID kTypeID = cf::kWriteStreamTypeID;
  __CFWriteStream() : Object(kTypeID) {}
  enum class State { kNotOpen, kOpen, kClosed } state = State::kNotOpen;
  std::vector<uint8_t> buffer;
};

namespace cf {

// Creates a string from UTF-16; never fails.
__CFString* NewString(std::u16string text);
// Creates a string from UTF-8; invalid sequences become U+FFFD.
__CFString* NewStringFromUtf8Lossy(std::string_view utf8);
__CFNumber* NewInt64(int64_t v);
__CFNumber* NewFloat64(double v);
__CFData* NewData(const uint8_t* bytes, size_t size, bool is_mutable);
CFBooleanRef Boolean(bool v);

}  // namespace cf
