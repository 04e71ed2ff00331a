// Threads device-assigned identifiers through a push message written by the front end.
//
// A push message is ["SDMessageProcessChanges", class, {record id: record, ...}, ...] in
// XML property-list text. An identifier is replaced only where the message refers to a
// record: a key of the record dictionary (element 2 of the message), and the value of a
// relation member of a record ("contact", "calendar", "owner", "parent"), either a string
// or the strings of an array. A whole value is compared with the identifier, after XML
// entities are decoded; other values, the XML prolog and longer identifiers that merely
// contain it ("e1" in "e10") are left alone. Text outside those places is copied as
// written. The scan keeps no recursion, so no input can exhaust the stack.
#pragma once

#include <map>
#include <string>
#include <string_view>

// Front-end identifier → device identifier, ordered by the front-end identifier.
using RemapTable = std::map<std::string, std::string>;

// Every identifier that is a key of `remap` becomes its value (one pass, so a replaced
// identifier is never replaced again).
std::string ReplaceIdentifiers(std::string_view xml, const std::map<std::string, std::string>& remap);

// The same for one identifier.
std::string ReplaceIdentifier(std::string_view xml, std::string_view old_id,
                              std::string_view new_id);
