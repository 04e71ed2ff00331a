#include "utility/ios/device_values.h"

#include <cmath>

#include "common/cf_value_convert.h"
#include "iOSAPI/MobileExportFun.h"

namespace {


CFStringRef MakeName(const std::string& text) {
  return text.empty() ? nullptr : Fun().__CFStringMakeConstantString(text.c_str());
}

// CFNumber type codes that CFNumberGetValue copies as they are.
bool IsIntegerType(CFNumberType type) {
  return (type >= 1 && type <= 4) || (type >= 7 && type <= 11);
}

bool NumberToInt64(CFNumberRef number, int64_t* value) {
  CMobileExportFun& fun = Fun();
  CFNumberType type = fun.CFNumberGetType(number);
  if (type == kCFNumberFloat64Type) {
    double real = 0;
    if (!fun.CFNumberGetValue(number, type, &real)) return false;
    *value = static_cast<int64_t>(std::floor(real + 0.5));
    return true;
  }
  if (!IsIntegerType(type)) return false;
  // Integer types are copied in their own width into a zeroed 64-bit slot.
  int64_t slot = 0;
  if (!fun.CFNumberGetValue(number, type, &slot)) return false;
  *value = slot;
  return true;
}

}  // namespace

CFTypeRef CopyDeviceValue(AMDeviceRef device, const char* key) {
  return Fun().AMDeviceCopyValue(device, nullptr, Fun().__CFStringMakeConstantString(key));
}

CFTypeRef CopyDomainValue(AMDeviceRef device, const char* domain, const char* key) {
  return Fun().AMDeviceCopyValue(device, Fun().__CFStringMakeConstantString(domain),
                                 Fun().__CFStringMakeConstantString(key));
}

bool GetDeviceValue(AMDeviceRef device, const std::string& domain, const std::string& key,
                    PlistValue* value) {
  CFTypeRef raw = Fun().AMDeviceCopyValue(device, MakeName(domain), MakeName(key));
  if (raw == nullptr) return false;
  bool converted = CFValueToPlistValue(raw, value);
  Fun().CFRelease(raw);
  return converted;
}

bool GetDeviceNumber(AMDeviceRef device, const std::string& key, const std::string& domain,
                     int64_t* value) {
  CFTypeRef raw = Fun().AMDeviceCopyValue(device, MakeName(domain), MakeName(key));
  if (raw == nullptr) return false;
  const bool ok = ValueToInt64(raw, value);
  Fun().CFRelease(raw);
  return ok;
}

bool GetSupportedDeviceFamilies(AMDeviceRef device, std::vector<int64_t>* families) {
  CFTypeRef raw = CopyDeviceValue(device, "SupportedDeviceFamilies");
  if (raw == nullptr) return false;
  const bool ok = ValueToFamilies(raw, families);
  Fun().CFRelease(raw);
  return ok;
}

bool ValueToInt64(CFTypeRef raw, int64_t* value) {
  return raw != nullptr && Fun().CFGetTypeID(raw) == kCFTypeIdNumber &&
         NumberToInt64(static_cast<CFNumberRef>(raw), value);
}

bool ValueToFamilies(CFTypeRef raw, std::vector<int64_t>* families) {
  CMobileExportFun& fun = Fun();
  if (raw == nullptr) return false;
  families->clear();
  if (fun.CFGetTypeID(raw) == kCFTypeIdArray) {
    auto array = static_cast<CFArrayRef>(raw);
    CFIndex count = fun.CFArrayGetCount(array);
    for (CFIndex i = 0; i < count; ++i) {
      CFTypeRef item = fun.CFArrayGetValueAtIndex(array, i);
      if (item == nullptr || fun.CFGetTypeID(item) != kCFTypeIdNumber) continue;
      auto number = static_cast<CFNumberRef>(item);
      CFNumberType type = fun.CFNumberGetType(number);
      if (type != kCFNumberSInt32Type && type != kCFNumberSInt64Type &&
          type != kCFNumberFloat64Type) {
        continue;
      }
      int64_t family = 0;
      if (NumberToInt64(number, &family)) families->push_back(family);
    }
  }
  return true;
}

DeviceValueReader::~DeviceValueReader() {
  for (auto& [name, dictionary] : domains_) {
    if (dictionary != nullptr) Fun().CFRelease(dictionary);
  }
  for (CFTypeRef value : owned_) Fun().CFRelease(value);
}

CFTypeRef DeviceValueReader::Find(const char* domain, const char* key) {
  CMobileExportFun& fun = Fun();
  const std::string name = domain != nullptr ? domain : "";
  auto it = domains_.find(name);
  if (it == domains_.end()) {
    CFTypeRef whole = fun.AMDeviceCopyValue(device_, MakeName(name), nullptr);
    if (whole != nullptr && fun.CFGetTypeID(whole) != kCFTypeIdDictionary) {
      fun.CFRelease(whole);
      whole = nullptr;
    }
    it = domains_.emplace(name, whole).first;
  }
  const CFStringRef key_name = fun.__CFStringMakeConstantString(key);
  if (it->second != nullptr) {
    CFTypeRef value =
        fun.CFDictionaryGetValue(static_cast<CFDictionaryRef>(it->second), key_name);
    if (value != nullptr) return value;
  }
  CFTypeRef single = fun.AMDeviceCopyValue(device_, MakeName(name), key_name);
  if (single != nullptr) owned_.push_back(single);
  return single;
}
