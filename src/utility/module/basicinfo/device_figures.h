// Battery and storage figures that come from device services rather than lockdown
// values. Failures leave the members out (battery) or at 0 (storage).
#pragma once

#include <rapidjson/document.h>

#include "utility/ios/vado_device.h"

// "CycleCount" from the battery's IORegistry entry (diagnostics relay).
void AppendCycleCount(VadoDevice& device, rapidjson::Value* object,
                      rapidjson::Document::AllocatorType& allocator);

// The storage breakdown from the AirTraffic service; no members at all when the service
// cannot be started.
void AppendStorage(VadoDevice& device, rapidjson::Value* object,
                   rapidjson::Document::AllocatorType& allocator);
