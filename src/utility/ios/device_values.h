// Reading the device's lockdown values (AMDeviceCopyValue).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/plist_value.h"
#include "iOSAPI/mobile_device_api.h"

// The raw value (caller releases it with CFRelease), or null.
CFTypeRef CopyDeviceValue(AMDeviceRef device, const char* key);
CFTypeRef CopyDomainValue(AMDeviceRef device, const char* domain, const char* key);

// The value converted to the value model; an empty domain means the default one and an
// empty key the whole domain. True when a value was produced.
bool GetDeviceValue(AMDeviceRef device, const std::string& domain, const std::string& key,
                    PlistValue* value);

// A number value as a 64-bit integer (reals rounded half up); false for other kinds.
bool GetDeviceNumber(AMDeviceRef device, const std::string& key, const std::string& domain,
                     int64_t* value);

// "SupportedDeviceFamilies" as numbers; false when the value is absent.
bool GetSupportedDeviceFamilies(AMDeviceRef device, std::vector<int64_t>* families);

// Conversions of a value the caller holds: false when it is not of the kind.
bool ValueToInt64(CFTypeRef raw, int64_t* value);
bool ValueToFamilies(CFTypeRef raw, std::vector<int64_t>* families);

// Reads many values of one device a domain at a time: the first value asked of a domain
// brings the whole domain in one exchange, and a key that the domain's answer lacks is
// still asked for on its own. Values are borrowed and live as long as the reader.
class DeviceValueReader {
 public:
  explicit DeviceValueReader(AMDeviceRef device) : device_(device) {}
  ~DeviceValueReader();
  DeviceValueReader(const DeviceValueReader&) = delete;
  DeviceValueReader& operator=(const DeviceValueReader&) = delete;

  // The value of `key` in `domain` (null: the default domain), or null.
  CFTypeRef Find(const char* domain, const char* key);

 private:
  AMDeviceRef device_;
  std::map<std::string, CFTypeRef> domains_;  // a domain's dictionary; null when unreadable
  std::vector<CFTypeRef> owned_;               // values asked for one at a time
};
