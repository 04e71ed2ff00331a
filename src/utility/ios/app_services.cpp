#include "utility/ios/app_services.h"

#include "common/cf_value_convert.h"
#include "common/plist_message.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/app_service_requests.h"
#include "utility/ios/vado_device_service.h"

namespace {

CFDictionaryRef RawDictionary(const char* bytes, uint32_t length) {
  auto& fun = CMobileExportFun::GetInstance();
  CFRef<CFDataRef> data(fun.CFDataCreate(kCFDefaultAllocator,
                                         reinterpret_cast<const uint8_t*>(bytes), length));
  if (!data) return nullptr;
  CFPropertyListRef list =
      fun.CFPropertyListCreateWithData(kCFDefaultAllocator, data.get(), 0, nullptr, nullptr);
  if (list != nullptr && fun.CFGetTypeID(list) != kCFTypeIdDictionary) {
    fun.CFRelease(list);
    return nullptr;
  }
  return static_cast<CFDictionaryRef>(list);
}

std::string RawText(CFDictionaryRef dict, const char* key) {
  auto& fun = CMobileExportFun::GetInstance();
  CFTypeRef value = fun.CFDictionaryGetValue(dict, fun.__CFStringMakeConstantString(key));
  if (value == nullptr || fun.CFGetTypeID(value) != kCFTypeIdString) return {};
  return CFStringToUtf8(static_cast<CFStringRef>(value));
}

bool RawHas(CFDictionaryRef dict, const char* key) {
  auto& fun = CMobileExportFun::GetInstance();
  return fun.CFDictionaryGetValue(dict, fun.__CFStringMakeConstantString(key)) != nullptr;
}

ServicePtr StartAppService(const VadoDevice& device, const char* name) {
  int32_t error = 0;
  return GetService(device.device, &error, name, nullptr, false);
}

}  // namespace

void RawReplyHandler(void* context, const char* bytes, uint32_t length, int* read_another,
                     uint32_t* result) {
  auto& raw = *static_cast<RawReplies*>(context);
  *read_another = 1;
  *result = 0;
  CFRef<CFDictionaryRef> reply(RawDictionary(bytes, length));
  if (!reply) return;  // not a property list: skipped
  if (raw.single) {
    if (raw.replies != nullptr) raw.replies->push_back(std::move(reply));
    raw.finished = true;
    *read_another = 0;
    return;
  }
  if (RawText(reply.get(), "Status") == "Complete" || RawHas(reply.get(), "Error")) {
    raw.finished = true;
    raw.complete = !RawHas(reply.get(), "Error");
    *read_another = 0;
    return;
  }
  if (raw.replies != nullptr) raw.replies->push_back(std::move(reply));
}

bool BrowseApplications(const VadoDevice& device, std::vector<CFRef<CFDictionaryRef>>* pages) {
  ServicePtr service = StartAppService(device, kInstallationProxyService);
  if (!service) return false;
  RawReplies raw;
  raw.replies = pages;
  BinaryPlistPtr browse = BuildBrowseRequest(true);
  if (!browse) return false;
  ExchangePlistMessages(service->connection(), browse.get(), RawReplyHandler, &raw);
  return raw.finished && raw.complete;
}

std::vector<std::string> ListedBundleIds(const std::vector<CFRef<CFDictionaryRef>>& pages) {
  auto& fun = CMobileExportFun::GetInstance();
  std::vector<std::string> ids;
  for (const auto& page : pages) {
    CFTypeRef list =
        fun.CFDictionaryGetValue(page.get(), fun.__CFStringMakeConstantString("CurrentList"));
    if (list == nullptr || fun.CFGetTypeID(list) != kCFTypeIdArray) continue;
    auto array = static_cast<CFArrayRef>(list);
    for (CFIndex i = 0, n = fun.CFArrayGetCount(array); i < n; ++i) {
      CFTypeRef app = fun.CFArrayGetValueAtIndex(array, i);
      if (app == nullptr || fun.CFGetTypeID(app) != kCFTypeIdDictionary) continue;
      std::string id = RawText(static_cast<CFDictionaryRef>(app), "CFBundleIdentifier");
      if (!id.empty()) ids.push_back(std::move(id));
    }
  }
  return ids;
}

bool UninstallApplication(AMDServiceConnectionRef proxy, const std::string& bundle_id) {
  BinaryPlistPtr request = BuildApplicationCommand("Uninstall", bundle_id);
  if (!request) return false;
  RawReplies raw;  // progress answers are read and dropped until the final one
  ExchangePlistMessages(proxy, request.get(), RawReplyHandler, &raw);
  return raw.finished && raw.complete;
}

bool FetchIcon(const VadoDevice& device, const std::string& bundle_id, std::string* png) {
  ServicePtr service = StartAppService(device, kSpringboardService);
  if (!service) return false;
  std::vector<CFRef<CFDictionaryRef>> replies;
  RawReplies raw;
  raw.single = true;
  raw.replies = &replies;
  BinaryPlistPtr request = BuildIconRequest(bundle_id);
  if (!request) return false;
  ExchangePlistMessages(service->connection(), request.get(), RawReplyHandler, &raw);
  if (replies.empty()) return false;
  auto& fun = CMobileExportFun::GetInstance();
  CFTypeRef data =
      fun.CFDictionaryGetValue(replies[0].get(), fun.__CFStringMakeConstantString("pngData"));
  if (data == nullptr || fun.CFGetTypeID(data) != kCFTypeIdData) return false;
  auto bytes = static_cast<CFDataRef>(data);
  const CFIndex length = fun.CFDataGetLength(bytes);
  if (length <= 0) return false;
  png->assign(reinterpret_cast<const char*>(fun.CFDataGetBytePtr(bytes)),
              static_cast<size_t>(length));
  return true;
}
