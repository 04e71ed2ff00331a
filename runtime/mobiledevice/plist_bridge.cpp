#include "plist_bridge.h"

#include <cstdlib>
#include <vector>

namespace md {

CFTypeRef PlistToCf(plist_t node) {
  if (!node) return nullptr;
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  if (!bytes) return nullptr;
  CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const uint8_t*>(bytes), length);
  plist_to_bin_free(bytes);
  if (!data) return nullptr;
  CFTypeRef result = CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable,
                                                  nullptr, nullptr);
  CFRelease(data);
  return result;
}

plist_t CfToPlist(CFTypeRef value) {
  if (!value) return nullptr;
  CFDataRef data = CFPropertyListCreateData(nullptr, value, kCFPropertyListBinaryFormat_v1_0,
                                            0, nullptr);
  if (!data) return nullptr;
  plist_t node = nullptr;
  const CFIndex length = CFDataGetLength(data);
  if (length > 0 && length <= static_cast<CFIndex>(UINT32_MAX)) {
    plist_from_bin(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                   static_cast<uint32_t>(length), &node);
  }
  CFRelease(data);
  return node;
}

bool CfStringToUtf8(CFStringRef string, std::string* out) {
  if (!string || CFGetTypeID(string) != CFStringGetTypeID()) return false;
  const CFIndex size =
      CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
  if (size <= 0) return false;
  std::vector<char> buffer(static_cast<size_t>(size));
  if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) return false;
  out->assign(buffer.data());
  return true;
}

}  // namespace md
