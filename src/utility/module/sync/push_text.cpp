#include "utility/module/sync/push_text.h"

#include "common/binary_plist.h"
#include "common/plist_reader.h"

bool IsPushableText(std::string_view text) {
  return !text.empty() && XmlToBinaryPlist(text.data(), text.size()) != nullptr;
}

std::optional<std::string> PushTextMember(const rapidjson::Value& body, const char* name,
                                          bool* present) {
  *present = false;
  if (!body.IsObject()) return std::nullopt;
  auto it = body.FindMember(name);
  if (it == body.MemberEnd()) return std::nullopt;
  *present = true;
  if (!it->value.IsString()) return std::nullopt;
  std::string text(it->value.GetString(), it->value.GetStringLength());
  if (!IsPushableText(text)) return std::nullopt;
  return text;
}

std::vector<std::string> PushedRecordIds(std::string_view text) {
  std::vector<std::string> ids;
  BinaryPlistPtr bytes = XmlToBinaryPlist(text.data(), text.size());
  PlistValue decoded;
  if (!bytes || !PlistBytesToValue(bytes->bytes, bytes->length, &decoded)) return ids;
  if (decoded.tag() != kPlistArray || decoded.array().empty()) return ids;
  const PlistValue& message = decoded.array()[0];
  if (message.tag() != kPlistArray || message.array().size() < 3) return ids;
  const CIOSDictionary* records = message.array()[2].dictionary();
  if (records == nullptr) return ids;
  for (const auto& [id, value] : records->items()) {
    if (value.dictionary() != nullptr) ids.push_back(id);
  }
  return ids;
}
