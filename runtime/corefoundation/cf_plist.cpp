// Property-list reading and writing, with libplist doing the byte formats.
#include <plist/plist.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "cf_types.h"
#include "plist_guard.h"

namespace {

constexpr double kMaxDateSeconds = std::numeric_limits<int32_t>::max();

// Expanding shared binary references may multiply the node count; this bound keeps the
// tree (and the memory it needs) proportional to the input.
uint64_t MaxNodesFor(size_t size) { return 4 * static_cast<uint64_t>(size) + 1024; }

struct PlistFree {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// libplist tree to CF objects; null when a node cannot be represented. `depth` only
// guards the recursion: the input was already checked against kMaxPlistDepth.
CFTypeRef FromPlist(plist_t node, bool mutable_containers, unsigned depth) {
  if (depth > cf::kMaxPlistDepth) return nullptr;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t v = 0;
      plist_get_bool_val(node, &v);
      return cf::Boolean(v != 0);
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return cf::NewInt64(static_cast<int64_t>(v));
    }
    case PLIST_UID: {
      uint64_t v = 0;
      plist_get_uid_val(node, &v);
      return cf::NewInt64(static_cast<int64_t>(v));
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      return cf::NewFloat64(v);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      uint64_t len = 0;
      const char* p = plist_get_string_ptr(node, &len);
      return cf::NewStringFromUtf8Lossy(p ? std::string_view(p, len) : std::string_view());
    }
    case PLIST_DATA: {
      uint64_t len = 0;
      const char* p = plist_get_data_ptr(node, &len);
      return cf::NewData(reinterpret_cast<const uint8_t*>(p), p ? len : 0, false);
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // libplist hands out the seconds truncated towards zero and the fraction without
      // its sign, so times before 2001 need the fraction subtracted.
      const bool negative = sec < 0 || (sec == 0 && plist_date_val_compare(node, 0, 0) < 0);
      return CFDateCreate(nullptr, negative ? sec - usec / 1e6 : sec + usec / 1e6);
    }
    case PLIST_ARRAY: {
      auto* a = new __CFArray(mutable_containers, &kCFTypeArrayCallBacks);
      a->values.reserve(plist_array_get_size(node));
      // Iterating, not indexing: a parsed array has no index, so each lookup by position
      // would walk the list from its start.
      plist_array_iter it = nullptr;
      plist_array_new_iter(node, &it);
      for (;;) {
        plist_t child = nullptr;
        plist_array_next_item(node, it, &child);
        if (!child) break;
        CFTypeRef item = FromPlist(child, mutable_containers, depth + 1);
        if (!item) {
          free(it);
          CFRelease(a);
          return nullptr;
        }
        a->values.push_back(item);  // the array takes over the creation reference
      }
      free(it);
      return a;
    }
    case PLIST_DICT: {
      auto* d = new __CFDictionary(mutable_containers, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks);
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (!value) {
          free(key);
          break;
        }
        CFTypeRef v = FromPlist(value, mutable_containers, depth + 1);
        if (!v) {
          free(key);
          free(it);
          CFRelease(d);
          return nullptr;
        }
        CFStringRef k = cf::NewStringFromUtf8Lossy(key ? key : "");
        free(key);
        d->Put(k, v, true);
        CFRelease(k);
        CFRelease(v);
      }
      free(it);
      return d;
    }
    default:
      return nullptr;
  }
}

// CF objects to a libplist tree; null for types a property list cannot hold, keys that are
// not strings, and nesting past the limit (which also stops cycles built from mutable
// containers).
plist_t ToPlist(CFTypeRef cf, unsigned depth) {
  if (depth > cf::kMaxPlistDepth) return nullptr;
  const cf::Object* o = cf::AsObject(cf);
  if (!o) return nullptr;
  switch (o->type()) {
    case cf::kStringTypeID:
      return plist_new_string(static_cast<const __CFString*>(o)->utf8.c_str());
    case cf::kBooleanTypeID:
      return plist_new_bool(static_cast<const __CFBoolean*>(o)->value ? 1 : 0);
    case cf::kNumberTypeID: {
      const auto* n = static_cast<const __CFNumber*>(o);
      return n->is_float ? plist_new_real(n->d) : plist_new_uint(static_cast<uint64_t>(n->i));
    }
    case cf::kDataTypeID: {
      const auto& b = static_cast<const __CFData*>(o)->bytes;
      return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
    }
    case cf::kDateTypeID: {
      const double at = static_cast<const __CFDate*>(o)->at;
      if (!std::isfinite(at) || std::fabs(at) >= kMaxDateSeconds) return nullptr;
      // Whole microseconds, split so that the fraction is never negative.
      const long long usec = std::llround(at * 1e6);
      long long sec = usec / 1000000;
      if (usec % 1000000 < 0) --sec;
      return plist_new_date(static_cast<int32_t>(sec),
                            static_cast<int32_t>(usec - sec * 1000000));
    }
    case cf::kArrayTypeID: {
      PlistPtr array(plist_new_array());
      for (const void* v : static_cast<const __CFArray*>(o)->values) {
        plist_t item = ToPlist(v, depth + 1);
        if (!item) return nullptr;
        plist_array_append_item(array.get(), item);
      }
      return array.release();
    }
    case cf::kDictionaryTypeID: {
      const auto* d = static_cast<const __CFDictionary*>(o);
      PlistPtr dict(plist_new_dict());
      for (size_t i = 0; i < d->keys.size(); ++i) {
        const auto* key = cf::As<__CFString>(d->keys[i]);
        if (!key) return nullptr;
        plist_t item = ToPlist(d->values[i], depth + 1);
        if (!item) return nullptr;
        plist_dict_set_item(dict.get(), key->utf8.c_str(), item);
      }
      return dict.release();
    }
    default:
      return nullptr;
  }
}

bool LooksBinary(const uint8_t* p, size_t n) { return n >= 8 && std::memcmp(p, "bplist00", 8) == 0; }

// Parses binary or XML bytes into CF objects after the safety checks.
CFPropertyListRef Read(CFDataRef data, CFOptionFlags options, CFPropertyListFormat* format) {
  const auto* d = cf::As<__CFData>(data);
  if (!d || d->bytes.empty() || d->bytes.size() > std::numeric_limits<uint32_t>::max()) {
    return nullptr;
  }
  const uint8_t* p = d->bytes.data();
  const size_t n = d->bytes.size();
  plist_t root = nullptr;
  const bool binary = LooksBinary(p, n);
  if (binary) {
    if (!cf::BinaryPlistIsSafe(p, n, MaxNodesFor(n))) return nullptr;
    plist_from_bin(reinterpret_cast<const char*>(p), static_cast<uint32_t>(n), &root);
  } else {
    if (!cf::XmlPlistIsSafe(reinterpret_cast<const char*>(p), n)) return nullptr;
    plist_from_xml(reinterpret_cast<const char*>(p), static_cast<uint32_t>(n), &root);
  }
  if (!root) return nullptr;
  PlistPtr owner(root);
  CFTypeRef result = FromPlist(root, options != kCFPropertyListImmutable, 0);
  if (result && format) {
    *format = binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
  }
  return result;
}

// Serialises into `out`; false for an unsupported format or a list that cannot be written.
bool Write(CFPropertyListRef plist, CFPropertyListFormat format, std::vector<uint8_t>* out) {
  if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0) {
    return false;
  }
  PlistPtr root(ToPlist(plist, 0));
  if (!root) return false;
  char* bytes = nullptr;
  uint32_t length = 0;
  if (format == kCFPropertyListXMLFormat_v1_0) {
    plist_to_xml(root.get(), &bytes, &length);
  } else {
    plist_to_bin(root.get(), &bytes, &length);
  }
  if (!bytes) return false;
  out->assign(bytes, bytes + length);
  if (format == kCFPropertyListXMLFormat_v1_0) {
    plist_to_xml_free(bytes);
  } else {
    plist_to_bin_free(bytes);
  }
  return length > 0;
}

CFDataRef WriteData(CFPropertyListRef plist, CFPropertyListFormat format) {
  auto* d = new __CFData(false);
  if (!Write(plist, format, &d->bytes)) {
    delete d;
    return nullptr;
  }
  return d;
}

}  // namespace

extern "C" {

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data,
                                               CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error) {
  if (error) *error = nullptr;
  return Read(data, options, format);
}

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption,
                                                  CFStringRef* errorString) {
  CFPropertyListRef result = Read(xmlData, mutabilityOption, nullptr);
  if (errorString) {
    *errorString = result ? nullptr : __CFStringMakeConstantString("Cannot parse property list");
  }
  return result;
}

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef, CFPropertyListRef plist) {
  return WriteData(plist, kCFPropertyListXMLFormat_v1_0);
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef plist,
                                   CFPropertyListFormat format, CFOptionFlags,
                                   CFErrorRef* error) {
  if (error) *error = nullptr;
  return WriteData(plist, format);
}

CFIndex CFPropertyListWriteToStream(CFPropertyListRef plist, CFWriteStreamRef stream,
                                    CFPropertyListFormat format, CFStringRef* errorString) {
  if (errorString) *errorString = nullptr;
  std::vector<uint8_t> bytes;
  if (!Write(plist, format, &bytes)) {
    if (errorString) *errorString = __CFStringMakeConstantString("Cannot write property list");
    return 0;
  }
  const CFIndex written =
      CFWriteStreamWrite(stream, bytes.data(), static_cast<CFIndex>(bytes.size()));
  return written < 0 ? 0 : written;
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
  if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0) {
    return false;
  }
  PlistPtr root(ToPlist(plist, 0));
  return root != nullptr;
}

}  // extern "C"
