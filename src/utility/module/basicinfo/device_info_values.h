// The identity, settings and battery figures a device reports through lockdown, as
// members of a JSON object, and whether the device is jailbroken.
#pragma once

#include <rapidjson/document.h>

#include "utility/ios/vado_device.h"

// Adds the device's values in their fixed order; values the device does not return
// leave no member. Booleans are written as 1 or 0.
void AppendDeviceValues(VadoDevice& device, rapidjson::Value* object,
                        rapidjson::Document::AllocatorType& allocator);

// True when the device offers "com.apple.afc2" and its Cydia auto-install folder opens.
bool IsJailbroken(VadoDevice& device);
