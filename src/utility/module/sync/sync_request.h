// The steps every sync-data request starts with: the header object, the device it names
// ("uuid", else the handle in "code") and the decompressed body.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "common/ipc_packet.h"
#include "utility/ios/vado_device.h"
#include "utility/module/vado_module.h"

// The device named by the header: "uuid" first, else the handle in "code". Null when
// neither names an attached device.
VadoDevicePtr FindRequestDevice(const RequestHeader& header);

// Largest decompressed request body accepted.
inline constexpr size_t kMaxSyncBodyBytes = 64u << 20;

// The body as text (decompressed), or nothing when it is missing or damaged.
std::optional<std::string> DecompressRequestBody(const RequestHeader& header);

// The body parsed as a JSON object; nothing when it is not one.
std::optional<rapidjson::Document> ParseBodyObject(const RequestHeader& header);

// A string member of `object`, or nothing when it is absent or not a string.
std::optional<std::string> StringMember(const rapidjson::Value& object, const char* name);
