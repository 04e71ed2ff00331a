#include "utility/module/itunes/backup_listing.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>

#include "common/plist_reader.h"
#include "common/text_convert.h"

namespace {

namespace fs = std::filesystem;

const CIOSDictionary* TopDictionary(const PlistValue& parsed) {
  if (parsed.tag() != kPlistArray || parsed.array().empty()) return nullptr;
  const PlistValue& top = parsed.array()[0];
  return top.tag() == kPlistDictionary ? top.dictionary() : nullptr;
}

std::string Text(const CIOSDictionary* dict, const char* key) {
  const PlistValue* value = dict->Find(key);
  return value != nullptr && value->tag() == kPlistText ? Utf16ToUtf8(value->text()) : "";
}

bool HasText(const CIOSDictionary* dict, const char* key) {
  const PlistValue* value = dict->Find(key);
  return value != nullptr && value->tag() == kPlistText;
}

// A property-list date as written ("2026-12-06T20:00:00Z", UTC) in local time.
std::string LocalDate(const std::string& text) {
  std::tm utc{};
  if (text.size() < 19 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &utc.tm_year,
                                      &utc.tm_mon, &utc.tm_mday, &utc.tm_hour, &utc.tm_min,
                                      &utc.tm_sec) != 6) {
    return "";
  }
  utc.tm_year -= 1900;
  utc.tm_mon -= 1;
  const std::time_t when = timegm(&utc);
  std::tm local{};
  localtime_r(&when, &local);
  char out[64];
  std::snprintf(out, sizeof out, "%.4d-%.2d-%.2d %.2d:%.2d:%.2d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return out;
}

void AddText(rapidjson::Document& doc, const char* key, const std::string& value) {
  doc.AddMember(rapidjson::StringRef(key),
                rapidjson::Value(value.c_str(), static_cast<rapidjson::SizeType>(value.size()),
                                 doc.GetAllocator()),
                doc.GetAllocator());
}

}  // namespace

std::optional<rapidjson::Document> DescribeBackup(const std::string& folder) {
  std::error_code error;
  for (const char* name : {"Info.plist", "Manifest.plist", "Status.plist"}) {
    if (!fs::exists(folder + name, error)) return std::nullopt;
  }
  PlistValue info_value;
  if (!PlistFileToValue(folder + "Info.plist", &info_value)) return std::nullopt;
  const CIOSDictionary* info = TopDictionary(info_value);
  if (info == nullptr) return std::nullopt;
  PlistValue manifest_value;
  PlistFileToValue(folder + "Manifest.plist", &manifest_value);
  const CIOSDictionary* manifest = TopDictionary(manifest_value);

  rapidjson::Document doc(rapidjson::kObjectType);
  AddText(doc, "Product Version", Text(info, "Product Version"));
  AddText(doc, "Build Version", Text(info, "Build Version"));
  AddText(doc, "Serial Number", Text(info, "Serial Number"));
  AddText(doc, "Device Name",
          HasText(info, "Device Name") ? Text(info, "Device Name") : Text(info, "Display Name"));
  std::string identifier;
  if (HasText(info, "Target Identifier")) {
    identifier = Text(info, "Target Identifier");
  } else {
    identifier = Text(info, "Unique Identifier");
    std::transform(identifier.begin(), identifier.end(), identifier.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  }
  AddText(doc, "Unique Identifier", identifier);
  AddText(doc, "Last Backup Date", LocalDate(Text(info, "Last Backup Date")));
  AddText(doc, "Product Type", Text(info, "Product Type"));
  AddText(doc, "Path", folder);
  const PlistValue* encrypted = manifest ? manifest->Find("IsEncrypted") : nullptr;
  doc.AddMember("IsEncrypted",
                encrypted != nullptr && encrypted->tag() == kPlistBoolean && encrypted->boolean() != 0,
                doc.GetAllocator());
  return doc;
}

std::vector<std::string> FindBackups(const std::string& folder) {
  if (DescribeBackup(folder)) return {folder};
  std::vector<std::string> found;
  std::error_code error;
  std::vector<std::string> children;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (it->is_directory(ignored)) children.push_back(it->path().filename().string());
  }
  std::sort(children.begin(), children.end());
  for (const std::string& child : children) {
    const std::string path = folder + child + "/";
    if (DescribeBackup(path)) found.push_back(path);
  }
  return found;
}

int64_t FolderSize(const std::string& folder) {
  int64_t total = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    if (it->is_regular_file(ignored)) total += static_cast<int64_t>(it->file_size(ignored));
  }
  return total;
}
