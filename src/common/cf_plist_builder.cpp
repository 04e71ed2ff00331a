#include "common/cf_plist_builder.h"

#include <string>

#include "common/text_convert.h"

CFTypeRef CFPlistBuilder::Own(CFTypeRef object) {
  if (object == nullptr) {
    failed_ = true;
    return nullptr;
  }
  owned_.emplace_back(object);
  return object;
}

CFMutableDictionaryRef CFPlistBuilder::Dictionary() {
  auto& fun = CMobileExportFun::GetInstance();
  if (!fun.IsLoaded()) {
    failed_ = true;
    return nullptr;
  }
  return static_cast<CFMutableDictionaryRef>(const_cast<void*>(
      Own(fun.CFDictionaryCreateMutable(kCFDefaultAllocator, 0, nullptr, nullptr))));
}

CFMutableArrayRef CFPlistBuilder::Array() {
  auto& fun = CMobileExportFun::GetInstance();
  if (!fun.IsLoaded()) {
    failed_ = true;
    return nullptr;
  }
  return static_cast<CFMutableArrayRef>(
      const_cast<void*>(Own(fun.CFArrayCreateMutable(kCFDefaultAllocator, 0, nullptr))));
}

CFStringRef CFPlistBuilder::String(std::string_view text) {
  auto& fun = CMobileExportFun::GetInstance();
  std::u16string checked;
  if (!fun.IsLoaded() || text.find('\0') != std::string_view::npos || !DecodeUtf8(text, &checked)) {
    failed_ = true;
    return nullptr;
  }
  std::string terminated(text);
  return static_cast<CFStringRef>(Own(
      fun.CFStringCreateWithCString(kCFDefaultAllocator, terminated.c_str(), kCFStringEncodingUTF8)));
}

CFDataRef CFPlistBuilder::Data(std::string_view bytes) {
  auto& fun = CMobileExportFun::GetInstance();
  if (!fun.IsLoaded()) {
    failed_ = true;
    return nullptr;
  }
  return static_cast<CFDataRef>(Own(fun.CFDataCreate(kCFDefaultAllocator,
                                                     reinterpret_cast<const uint8_t*>(bytes.data()),
                                                     static_cast<CFIndex>(bytes.size()))));
}

void CFPlistBuilder::Set(CFMutableDictionaryRef dict, const char* key, CFTypeRef value) {
  auto& fun = CMobileExportFun::GetInstance();
  Set(dict, fun.IsLoaded() ? fun.__CFStringMakeConstantString(key) : nullptr, value);
}

void CFPlistBuilder::Set(CFMutableDictionaryRef dict, CFStringRef key, CFTypeRef value) {
  auto& fun = CMobileExportFun::GetInstance();
  if (dict == nullptr || key == nullptr || value == nullptr || !fun.IsLoaded()) {
    failed_ = true;
    return;
  }
  fun.CFDictionaryAddValue(dict, key, value);
}

void CFPlistBuilder::Append(CFMutableArrayRef array, CFTypeRef value) {
  auto& fun = CMobileExportFun::GetInstance();
  if (array == nullptr || value == nullptr || !fun.IsLoaded()) {
    failed_ = true;
    return;
  }
  fun.CFArrayAppendValue(array, value);
}

BinaryPlistPtr CFPlistBuilder::ToBinary(CFPropertyListRef root) {
  if (failed_ || root == nullptr) return nullptr;
  return CFPropertyListToBytes(root, kCFPropertyListBinaryFormat_v1_0);
}
