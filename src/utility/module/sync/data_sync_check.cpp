#include "utility/module/sync/data_sync_check.h"

#include <vector>

#include "common/cf_value_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/vado_device_connection.h"

namespace {

// Every value of `dict`, or nothing when it is not a dictionary.
std::vector<const void*> DictionaryValues(CMobileExportFun& fun, CFTypeRef dict,
                                          std::vector<const void*>* keys) {
  std::vector<const void*> values;
  if (dict == nullptr || fun.CFGetTypeID(dict) != kCFTypeIdDictionary) return values;
  const auto cf_dict = static_cast<CFDictionaryRef>(dict);
  const CFIndex count = fun.CFDictionaryGetCount(cf_dict);
  if (count <= 0) return values;
  values.resize(static_cast<size_t>(count));
  std::vector<const void*> local_keys(static_cast<size_t>(count));
  fun.CFDictionaryGetKeysAndValues(cf_dict, local_keys.data(), values.data());
  if (keys != nullptr) *keys = std::move(local_keys);
  return values;
}

bool HoldsNonEmptyArray(CMobileExportFun& fun, CFTypeRef entry) {
  for (const void* value : DictionaryValues(fun, entry, nullptr)) {
    const auto inner = static_cast<CFTypeRef>(value);
    // Only arrays are counted; another kind of value must not reach the array call.
    if (inner == nullptr || fun.CFGetTypeID(inner) != kCFTypeIdArray) continue;
    if (fun.CFArrayGetCount(static_cast<CFArrayRef>(inner)) > 0) return true;
  }
  return false;
}

}  // namespace

bool DataSyncValueHasEntries(CFTypeRef domain, std::string_view key) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  if (!fun.IsLoaded()) return false;
  std::vector<const void*> keys;
  std::vector<const void*> values = DictionaryValues(fun, domain, &keys);
  for (size_t i = 0; i < values.size(); ++i) {
    const auto cf_key = static_cast<CFTypeRef>(keys[i]);
    if (cf_key == nullptr || fun.CFGetTypeID(cf_key) != kCFTypeIdString) continue;
    if (CFStringToUtf8(static_cast<CFStringRef>(cf_key)) != key) continue;
    if (HoldsNonEmptyArray(fun, static_cast<CFTypeRef>(values[i]))) return true;
  }
  return false;
}

bool DataSyncDomainHasEntries(AMDeviceRef device, std::string_view key) {
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  if (!fun.IsLoaded()) return false;
  // Domain values are only given inside a session; hold one for the read.
  int32_t error = 0;
  SessionPtr session = GetSession(device, &error);
  if (!session) session = RenewSession(device, &error);
  CFTypeRef domain = fun.AMDeviceCopyValue(
      device, fun.__CFStringMakeConstantString("com.apple.mobile.data_sync"), nullptr);
  if (domain == nullptr) return false;
  const bool found = DataSyncValueHasEntries(domain, key);
  fun.CFRelease(domain);
  return found;
}
