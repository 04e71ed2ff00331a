// Reading the device's lockdown values (AMDeviceCopyValue).
#pragma once

#include <cstdint>
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
