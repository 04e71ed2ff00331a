// Reading fields of decoded sync records (dictionaries of the value model).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/plist_value.h"

// The record's entity name, or nothing when the record has none (such records are skipped).
std::optional<std::string> RecordEntityName(const CIOSDictionary& record);

// A text field as UTF-8, or nothing when the key is absent or holds another kind.
std::optional<std::string> TextField(const CIOSDictionary& record, std::string_view key);

// An integer field (32- or 64-bit), or nothing.
std::optional<int64_t> IntegerField(const CIOSDictionary& record, std::string_view key);

// The text elements of an array field, in order; other elements are skipped.
std::vector<std::string> TextElements(const CIOSDictionary& record, std::string_view key);

// A field as the front end sees it in contact records: a UTC date text becomes local
// time, other texts stay, integers become decimal text; other kinds give nothing.
std::optional<std::string> ContactFieldText(const PlistValue& value);

// Calls `visit(id, record)` for every dictionary-valued entry of every dictionary element
// of a reply message that carries an entity name, in element order and key order.
template <typename Visit>
void ForEachRecord(const PlistValue& message, Visit&& visit) {
  if (message.tag() != kPlistArray) return;
  for (const PlistValue& element : message.array()) {
    const CIOSDictionary* records = element.dictionary();
    if (records == nullptr) continue;
    for (const auto& [id, value] : records->items()) {
      const CIOSDictionary* record = value.dictionary();
      if (record == nullptr) continue;
      std::optional<std::string> entity = RecordEntityName(*record);
      if (!entity) continue;
      visit(id, *entity, *record);
    }
  }
}
