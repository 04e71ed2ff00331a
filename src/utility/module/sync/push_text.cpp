#include "utility/module/sync/push_text.h"

#include "common/binary_plist.h"

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
