#include "utility/module/sync/sync_request.h"

#include "common/zlib_codec.h"


std::optional<std::string> DecompressRequestBody(const RequestHeader& header) {
  if (header.body.empty()) return std::nullopt;
  return ZlibDecompress(header.body, kMaxRequestBodyBytes);
}

std::optional<rapidjson::Document> ParseBodyObject(const RequestHeader& header) {
  rapidjson::Document doc;
  if (!ParseRequestBody(header, &doc) || !doc.IsObject()) return std::nullopt;
  return doc;
}

std::optional<std::string> StringMember(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return std::nullopt;
  auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsString()) return std::nullopt;
  return std::string(it->value.GetString(), it->value.GetStringLength());
}
