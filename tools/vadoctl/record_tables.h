// Readable tables of the records a list command returns (contacts and their groups,
// calendars and their events, bookmarks, notes), for a terminal; scripts get the JSON.
#pragma once

#include <string>

#include <rapidjson/document.h>

namespace vadoctl {

// `kind`: contacts | calendars | bookmarks | notes; `listed`: the joined list as vadoctl
// prints it in JSON ({"groups":{...},"contacts":{...}} for contacts, else an array).
std::string RecordListTable(const std::string& kind, const rapidjson::Value& listed);

}  // namespace vadoctl
