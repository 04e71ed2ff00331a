// Push messages written by the front end (XML property-list text).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>

// True when `text` parses as a property list and can be encoded for sending.
bool IsPushableText(std::string_view text);

// Identifiers of the records (dictionary values) a push-changes text carries.
std::vector<std::string> PushedRecordIds(std::string_view text);

// Member `name` of `body` when it is a string holding a property list. `present` tells
// whether the member exists at all; a member that exists but is not such a text gives
// nothing with `present` set.
std::optional<std::string> PushTextMember(const rapidjson::Value& body, const char* name,
                                          bool* present);
