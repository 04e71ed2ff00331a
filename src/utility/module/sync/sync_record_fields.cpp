#include "utility/module/sync/sync_record_fields.h"

#include "common/text_convert.h"
#include "utility/module/sync/sync_data_class.h"
#include "utility/module/sync/sync_date.h"

std::optional<std::string> TextField(const CIOSDictionary& record, std::string_view key) {
  const PlistValue* value = record.Find(key);
  if (value == nullptr || value->tag() != kPlistText) return std::nullopt;
  return Utf16ToUtf8(value->text());
}

std::optional<std::string> RecordEntityName(const CIOSDictionary& record) {
  return TextField(record, kRecordEntityNameKey);
}

std::optional<int64_t> IntegerField(const CIOSDictionary& record, std::string_view key) {
  const PlistValue* value = record.Find(key);
  if (value == nullptr) return std::nullopt;
  if (value->tag() == kPlistInt64) return value->int64();
  if (value->tag() == kPlistInt32) return value->int32();
  return std::nullopt;
}

std::vector<std::string> TextElements(const CIOSDictionary& record, std::string_view key) {
  std::vector<std::string> out;
  const PlistValue* value = record.Find(key);
  if (value == nullptr || value->tag() != kPlistArray) return out;
  for (const PlistValue& element : value->array()) {
    if (element.tag() == kPlistText) out.push_back(Utf16ToUtf8(element.text()));
  }
  return out;
}

std::optional<std::string> ContactFieldText(const PlistValue& value) {
  switch (value.tag()) {
    case kPlistText: {
      std::string text = Utf16ToUtf8(value.text());
      if (IsUtcDateText(text)) return UtcDateTextToLocal(text);
      return text;
    }
    case kPlistInt64: return std::to_string(value.int64());
    case kPlistInt32: return std::to_string(value.int32());
    default: return std::nullopt;
  }
}
