// Reading the bodies of sync-data requests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "common/ipc_packet.h"
#include "utility/ios/vado_device.h"
#include "utility/module/vado_module.h"

// The body as text (decompressed), or nothing when it is missing or damaged.
std::optional<std::string> DecompressRequestBody(const RequestHeader& header);

// The body parsed as a JSON object; nothing when it is not one.
std::optional<rapidjson::Document> ParseBodyObject(const RequestHeader& header);

// A string member of `object`, or nothing when it is absent or not a string.
std::optional<std::string> StringMember(const rapidjson::Value& object, const char* name);
