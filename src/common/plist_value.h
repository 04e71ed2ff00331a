// PlistValue and CIOSDictionary: the one value model for property lists.
//
// A PlistValue is a tagged value whose tag codes are the variant codes modules compare:
// 0 empty, 3 int32, 5 real, 8 text (UTF-16), 11 boolean (-1 true, 0 false), 13 dictionary,
// 20 int64, 0x200C array. Copying copies text and arrays deeply and shares dictionaries.
// A CIOSDictionary is reference counted (atomically) and maps narrow keys to values in
// plain byte order of the keys.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

enum PlistTag : uint16_t {
  kPlistEmpty = 0,
  kPlistInt32 = 3,
  kPlistReal = 5,
  kPlistText = 8,
  kPlistBoolean = 11,
  kPlistDictionary = 13,
  kPlistInt64 = 20,
  kPlistArray = 0x200C,
};

class CIOSDictionary;

// Owning pointer to a CIOSDictionary: holds one reference.
class IOSDictionaryPtr {
 public:
  IOSDictionaryPtr() = default;
  // Takes over a reference the caller already holds.
  static IOSDictionaryPtr Adopt(CIOSDictionary* d) {
    IOSDictionaryPtr p;
    p.ptr_ = d;
    return p;
  }
  IOSDictionaryPtr(const IOSDictionaryPtr& other);
  IOSDictionaryPtr(IOSDictionaryPtr&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  IOSDictionaryPtr& operator=(IOSDictionaryPtr other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~IOSDictionaryPtr();

  CIOSDictionary* get() const { return ptr_; }
  CIOSDictionary* operator->() const { return ptr_; }
  CIOSDictionary& operator*() const { return *ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  // Equal when both are null or both dictionaries hold equal entries.
  friend bool operator==(const IOSDictionaryPtr& a, const IOSDictionaryPtr& b);

 private:
  CIOSDictionary* ptr_ = nullptr;
};

class PlistValue {
 public:
  using Array = std::vector<PlistValue>;

  PlistValue() = default;
  static PlistValue Text(std::u16string text);
  static PlistValue Int64(int64_t v);
  static PlistValue Int32(int32_t v);
  static PlistValue Real(double v);
  static PlistValue Boolean(bool v);
  static PlistValue MakeArray(Array items = {});
  static PlistValue Dictionary(IOSDictionaryPtr dict);

  uint16_t tag() const;
  bool empty() const { return tag() == kPlistEmpty; }

  // Accessors return a neutral value (empty text, 0, null) when the tag differs.
  const std::u16string& text() const;
  int64_t int64() const;
  int32_t int32() const;
  double real() const;
  int16_t boolean() const;  // -1 true, 0 false
  const Array& array() const;
  Array* mutable_array();  // null unless this is an array
  CIOSDictionary* dictionary() const;

  bool operator==(const PlistValue& other) const;

 private:
  struct BoolValue {
    int16_t v;
    bool operator==(const BoolValue&) const = default;
  };
  using Storage = std::variant<std::monostate, int32_t, double, std::u16string, BoolValue,
                               IOSDictionaryPtr, int64_t, Array>;
  Storage value_;
};

class CIOSDictionary {
 public:
  using Map = std::map<std::string, PlistValue, std::less<>>;

  // A new dictionary holding one reference for the caller.
  static IOSDictionaryPtr Create();

  unsigned long AddRef();
  unsigned long Release();

  // Callers that share one dictionary between threads lock this around their access;
  // the map itself is not locked by the converters that fill it.
  std::mutex& critical_section() { return critical_section_; }

  // Replaces a value already present under `key`.
  void Set(std::string key, PlistValue value);
  // Null when the key is absent; a lookup never creates an entry.
  const PlistValue* Find(std::string_view key) const;
  const Map& items() const { return items_; }
  size_t size() const { return items_.size(); }

  bool operator==(const CIOSDictionary& other) const { return items_ == other.items_; }

 private:
  CIOSDictionary() = default;
  ~CIOSDictionary() = default;

  std::atomic<unsigned long> refs_{1};
  std::mutex critical_section_;
  Map items_;
};
