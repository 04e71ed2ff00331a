// Whether a data class lives in an over-the-air account: the device's
// "com.apple.mobile.data_sync" domain maps data-class keys ("Contacts", "Notes" ...) to
// dictionaries whose non-empty arrays name the accounts. Reads consult it when they found
// no record, to report −1 ("kept elsewhere") instead of 0.
#pragma once

#include <string_view>

#include "iOSAPI/core_foundation_api.h"
#include "iOSAPI/mobile_device_api.h"

// True when `domain` is a dictionary whose entry `key` is a dictionary holding an array
// with at least one element. Values of other kinds are passed over.
bool DataSyncValueHasEntries(CFTypeRef domain, std::string_view key);

// Reads the domain from the device and applies DataSyncValueHasEntries.
bool DataSyncDomainHasEntries(AMDeviceRef device, std::string_view key);
