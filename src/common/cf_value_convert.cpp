#include "common/cf_value_convert.h"

#include <vector>

#include "common/text_convert.h"
#include "iOSAPI/MobileExportFun.h"

namespace {

// Room for 259 ASCII characters and the NUL.
constexpr CFIndex kAsciiBufferBytes = 260;
// Nesting deeper than any property list the CF library accepts; guards against containers
// that hold themselves.
constexpr unsigned kMaxDepth = 256;

bool AsciiText(CFStringRef s, std::string* out) {
  char buffer[kAsciiBufferBytes] = {};
  if (!CMobileExportFun::GetInstance().CFStringGetCString(s, buffer, kAsciiBufferBytes,
                                                          kCFStringEncodingASCII)) {
    return false;
  }
  out->assign(buffer);
  return true;
}

void ToArray(CFArrayRef array, PlistValue* out, unsigned depth);
void ToDictionary(CFDictionaryRef dict, PlistValue* out, unsigned depth);

// Converts one CF value; false when the entry is to be dropped.
bool ToValue(CFTypeRef cf, PlistValue* out, unsigned depth) {
  auto& fun = CMobileExportFun::GetInstance();
  if (!cf) return false;
  switch (fun.CFGetTypeID(cf)) {
    case kCFTypeIdString: {
      std::string ascii;
      if (!AsciiText(static_cast<CFStringRef>(cf), &ascii)) return false;
      *out = PlistValue::Text(AnsiToUtf16(ascii));
      return true;
    }
    case kCFTypeIdDictionary:
      if (depth >= kMaxDepth) return false;
      ToDictionary(static_cast<CFDictionaryRef>(cf), out, depth + 1);
      return true;
    case kCFTypeIdArray:
      if (depth >= kMaxDepth) return false;
      ToArray(static_cast<CFArrayRef>(cf), out, depth + 1);
      return true;
    case kCFTypeIdData: {
      auto data = static_cast<CFDataRef>(cf);
      const CFIndex n = fun.CFDataGetLength(data);
      const uint8_t* p = fun.CFDataGetBytePtr(data);
      static constexpr char kHex[] = "0123456789ABCDEF";
      std::u16string hex;
      if (p && n > 0) {
        hex.reserve(static_cast<size_t>(n) * 2);
        for (CFIndex i = 0; i < n; ++i) {
          hex.push_back(kHex[p[i] >> 4]);
          hex.push_back(kHex[p[i] & 0x0F]);
        }
      }
      *out = PlistValue::Text(std::move(hex));
      return true;
    }
    case kCFTypeIdBoolean:
      *out = PlistValue::Boolean(fun.CFBooleanGetValue(static_cast<CFBooleanRef>(cf)));
      return true;
    case kCFTypeIdNumber: {
      auto number = static_cast<CFNumberRef>(cf);
      switch (fun.CFNumberGetType(number)) {
        case kCFNumberSInt32Type:
        case kCFNumberIntType: {
          int32_t v = 0;
          if (!fun.CFNumberGetValue(number, kCFNumberSInt32Type, &v)) return false;
          *out = PlistValue::Int32(v);
          return true;
        }
        case kCFNumberSInt64Type: {
          int64_t v = 0;
          if (!fun.CFNumberGetValue(number, kCFNumberSInt64Type, &v)) return false;
          *out = PlistValue::Int64(v);
          return true;
        }
        case kCFNumberFloat64Type: {
          double v = 0;
          if (!fun.CFNumberGetValue(number, kCFNumberFloat64Type, &v)) return false;
          *out = PlistValue::Real(v);
          return true;
        }
        default:
          return false;
      }
    }
    default:
      return false;
  }
}

struct ApplyContext {
  CIOSDictionary* dict;
  unsigned depth;
};

void AddPair(const void* key, const void* value, void* context) {
  auto* ctx = static_cast<ApplyContext*>(context);
  auto& fun = CMobileExportFun::GetInstance();
  std::string name;
  // A key that is not a short ASCII string would otherwise collapse into "".
  if (!key || fun.CFGetTypeID(key) != kCFTypeIdString ||
      !AsciiText(static_cast<CFStringRef>(key), &name)) {
    return;
  }
  PlistValue v;
  if (ToValue(value, &v, ctx->depth)) ctx->dict->Set(std::move(name), std::move(v));
}

void ToDictionary(CFDictionaryRef dict, PlistValue* out, unsigned depth) {
  IOSDictionaryPtr d = CIOSDictionary::Create();
  ApplyContext ctx{d.get(), depth};
  CMobileExportFun::GetInstance().CFDictionaryApplyFunction(dict, AddPair, &ctx);
  *out = PlistValue::Dictionary(std::move(d));
}

void ToArray(CFArrayRef array, PlistValue* out, unsigned depth) {
  auto& fun = CMobileExportFun::GetInstance();
  PlistValue::Array items;
  const CFIndex n = fun.CFArrayGetCount(array);
  for (CFIndex i = 0; i < n; ++i) {
    PlistValue v;
    if (ToValue(fun.CFArrayGetValueAtIndex(array, i), &v, depth)) items.push_back(std::move(v));
  }
  *out = PlistValue::MakeArray(std::move(items));
}

}  // namespace

void CFDictionaryToDictionary(CFDictionaryRef dict, PlistValue* out) {
  auto& fun = CMobileExportFun::GetInstance();
  *out = PlistValue();
  if (!fun.IsLoaded() || !dict || fun.CFGetTypeID(dict) != kCFTypeIdDictionary) return;
  ToDictionary(dict, out, 0);
}

void CFArrayToArray(CFArrayRef array, PlistValue* out) {
  auto& fun = CMobileExportFun::GetInstance();
  *out = PlistValue();
  if (!fun.IsLoaded() || !array || fun.CFGetTypeID(array) != kCFTypeIdArray) return;
  ToArray(array, out, 0);
}

std::string CFStringToUtf8(CFStringRef str) {
  auto& fun = CMobileExportFun::GetInstance();
  if (!fun.IsLoaded() || !str) return {};
  const CFIndex length = fun.CFStringGetLength(str);
  if (length < 0) return {};
  // Four bytes per UTF-16 unit covers every character, pairs included.
  std::vector<char> buffer(static_cast<size_t>(length) * 4 + 1, '\0');
  if (!fun.CFStringGetCString(str, buffer.data(), static_cast<CFIndex>(buffer.size()),
                              kCFStringEncodingUTF8)) {
    return {};
  }
  return std::string(buffer.data());
}
