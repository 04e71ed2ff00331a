#include "utility/module/app/app_object.h"

#include "common/base64_decode.h"
#include "common/plist_reader.h"
#include "common/text_convert.h"

namespace {

// A member whose name is a literal; the value is copied.
void AddText(rapidjson::Value* object, const char* name, const std::string& text,
             JsonAllocator& allocator) {
  object->AddMember(rapidjson::StringRef(name),
                    rapidjson::Value(text.data(), static_cast<rapidjson::SizeType>(text.size()),
                                     allocator),
                    allocator);
}

// Copies `key` of `source` under `name` when it is a text (and, with `only_if_missing`,
// when `name` is not there yet).
void CopyText(const CIOSDictionary& source, std::string_view key, const char* name,
              rapidjson::Value* object, JsonAllocator& allocator, bool only_if_missing = false) {
  if (only_if_missing && object->HasMember(name)) return;
  if (std::optional<std::string> text = PlistText(source, key)) {
    AddText(object, name, *text, allocator);
  }
}

const CIOSDictionary* SubDictionary(const CIOSDictionary& dict, std::string_view key) {
  const PlistValue* value = dict.Find(key);
  return value != nullptr && value->tag() == kPlistDictionary ? value->dictionary() : nullptr;
}

}  // namespace

std::optional<std::string> PlistText(const CIOSDictionary& dict, std::string_view key) {
  const PlistValue* value = dict.Find(key);
  if (value == nullptr || value->tag() != kPlistText) return std::nullopt;
  return Utf16ToUtf8(value->text());
}

std::string JsonMemberText(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return {};
  auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsString()) return {};
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

void AppendStoreMetadata(const CIOSDictionary& metadata, rapidjson::Value* app,
                         JsonAllocator& allocator) {
  CopyText(metadata, "softwareVersionBundleId", "CFBundleIdentifier", app, allocator, true);
  CopyText(metadata, "bundleShortVersionString", "CFBundleShortVersionString", app, allocator, true);
  CopyText(metadata, "bundleVersion", "CFBundleVersion", app, allocator, true);
  CopyText(metadata, "bundleDisplayName", "CFBundleDisplayName", app, allocator, true);
  CopyText(metadata, "releaseDate", "releaseDate", app, allocator);
  CopyText(metadata, "artistName", "artistName", app, allocator);
  CopyText(metadata, "itemName", "itemName", app, allocator);
  CopyText(metadata, "softwareIcon57x57URL", "softwareIcon57x57URL", app, allocator);
  CopyText(metadata, "appleId", "AppleID", app, allocator);
  if (const CIOSDictionary* download = SubDictionary(metadata, "com.apple.iTunesStore.downloadInfo")) {
    CopyText(*download, "purchaseDate", "purchaseDate", app, allocator);
    if (const CIOSDictionary* account = SubDictionary(*download, "accountInfo")) {
      CopyText(*account, "AppleID", "AppleID", app, allocator);
    }
  }
}

bool AppendStoreMetadataBytes(std::string_view plist, rapidjson::Value* app,
                              JsonAllocator& allocator) {
  PlistValue value;
  if (plist.empty() || !PlistBytesToValue(plist.data(), plist.size(), &value)) return false;
  const PlistValue::Array& items = value.array();
  if (items.empty() || items[0].tag() != kPlistDictionary) return false;
  AppendStoreMetadata(*items[0].dictionary(), app, allocator);
  return true;
}

std::optional<rapidjson::Value> BuildAppObject(const CIOSDictionary& entry,
                                               JsonAllocator& allocator) {
  std::optional<std::string> bundle_id = PlistText(entry, "CFBundleIdentifier");
  if (!bundle_id) return std::nullopt;
  rapidjson::Value app(rapidjson::kObjectType);
  CopyText(entry, "ApplicationType", "ApplicationType", &app, allocator);
  AddText(&app, "CFBundleIdentifier", *bundle_id, allocator);
  CopyText(entry, "CFBundleDisplayName", "CFBundleDisplayName", &app, allocator);
  CopyText(entry, "CFBundleName", "CFBundleName", &app, allocator);
  CopyText(entry, "CFBundleShortVersionString", "CFBundleShortVersionString", &app, allocator);
  CopyText(entry, "CFBundleVersion", "CFBundleVersion", &app, allocator);
  CopyText(entry, "Path", "Path", &app, allocator);
  if (std::optional<std::string> encoded = PlistText(entry, "iTunesMetadata")) {
    if (std::optional<std::string> plist = Base64Decode(*encoded)) {
      AppendStoreMetadataBytes(*plist, &app, allocator);
    }
  }
  return app;
}
