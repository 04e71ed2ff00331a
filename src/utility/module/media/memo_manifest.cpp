#include "utility/module/media/memo_manifest.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <new>

#include <tinyxml.h>

namespace {

constexpr int64_t kMemoEpoch2001 = 978307200;
constexpr char kRecordingsFolder[] = "/Recordings/";

// The top dictionary of property-list XML text, or null.
const TiXmlElement* TopDictionary(std::string_view xml, TiXmlDocument* doc) {
  // TinyXML reads a text up to its first zero byte, and may step over the end of a
  // multi-byte character that is cut short there: the text ends at its first zero byte
  // and is followed by a few more, so such a step stays inside the buffer.
  std::string text(xml.substr(0, xml.find('\0')));
  text.append(8, '\0');
  doc->Parse(text.c_str(), nullptr, TIXML_ENCODING_UTF8);
  if (doc->Error()) return nullptr;
  const TiXmlElement* root = doc->RootElement();
  if (!root) return nullptr;
  const TiXmlElement* top = std::string_view(root->Value()) == "dict" ? root
                                                                      : root->FirstChildElement();
  return top && std::string_view(top->Value()) == "dict" ? top : nullptr;
}

// The value element that follows the key `name` in `dict`, or null.
const TiXmlElement* MemoDictValue(const TiXmlElement* dict, std::string_view name) {
  for (const TiXmlElement* key = dict->FirstChildElement(); key;) {
    const TiXmlElement* value = key->NextSiblingElement();
    if (!value) return nullptr;
    const char* text = key->GetText();
    if (std::string_view(key->Value()) == "key" && text && name == text) return value;
    key = value->NextSiblingElement();
  }
  return nullptr;
}

std::string MemoElementText(const TiXmlElement* e) {
  const char* text = e ? e->GetText() : nullptr;
  return text ? text : "";
}

// A real or integer element as a number; 0 for anything else or a non-finite value.
double MemoElementNumber(const TiXmlElement* e) {
  if (!e) return 0;
  const std::string_view kind = e->Value();
  if (kind != "real" && kind != "integer") return 0;
  const double value = std::strtod(MemoElementText(e).c_str(), nullptr);
  return std::isfinite(value) ? value : 0;
}

bool IsPlainMemoName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\\') == std::string_view::npos;
}

bool HasParentStep(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (path.substr(start, slash - start) == "..") return true;
    start = slash + 1;
  }
  return false;
}

// 2001-based seconds to Unix seconds, within what time_t and the date text can hold.
int64_t MemoUnixFrom2001(double seconds) {
  if (!std::isfinite(seconds) || seconds < -kMemoEpoch2001 || seconds > 3.0e10) return 0;
  return static_cast<int64_t>(seconds) + kMemoEpoch2001;
}

}  // namespace

std::optional<int64_t> ParseIsoUtcDate(std::string_view text) {
  // [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return std::nullopt;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
  }
  auto number = [&](size_t at, size_t n) {
    int v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 10 + (text[at + i] - '0');
    return v;
  };
  struct tm parts {};
  parts.tm_year = number(0, 4) - 1900;
  parts.tm_mon = number(5, 2) - 1;
  parts.tm_mday = number(8, 2);
  parts.tm_hour = number(11, 2);
  parts.tm_min = number(14, 2);
  parts.tm_sec = number(17, 2);
  return static_cast<int64_t>(timegm(&parts));
}

std::vector<MemoManifestEntry> ParseAssetManifestXml(std::string_view xml) {
  std::vector<MemoManifestEntry> entries;
  try {
    TiXmlDocument doc;
    const TiXmlElement* top = TopDictionary(xml, &doc);
    if (!top) return entries;
    for (const TiXmlElement* key = top->FirstChildElement(); key;) {
      const TiXmlElement* value = key->NextSiblingElement();
      if (!value) break;
      const std::string name = MemoElementText(key);
      key = value->NextSiblingElement();
      if (!IsPlainMemoName(name) || std::string_view(value->Value()) != "dict") continue;
      MemoManifestEntry entry;
      entry.path = kRecordingsFolder + name;
      entry.label = MemoElementText(MemoDictValue(value, "label"));
      entry.duration = MemoElementNumber(MemoDictValue(value, "duration"));
      entry.unix_date = ParseIsoUtcDate(MemoElementText(MemoDictValue(value, "date"))).value_or(0);
      entries.push_back(std::move(entry));
    }
  } catch (const std::bad_alloc&) {
    entries.clear();
  }
  return entries;
}

std::optional<MemoManifestEntry> ParseCompositionManifestXml(std::string_view xml) {
  try {
    TiXmlDocument doc;
    const TiXmlElement* top = TopDictionary(xml, &doc);
    if (!top) return std::nullopt;
    std::string url = MemoElementText(MemoDictValue(top, "RCComposedAVURL"));
    for (size_t at = url.find("%20"); at != std::string::npos; at = url.find("%20", at + 1)) {
      url.replace(at, 3, " ");
    }
    const size_t folder = url.find(kRecordingsFolder);
    if (folder == std::string::npos) return std::nullopt;
    MemoManifestEntry entry;
    entry.path = url.substr(folder);
    if (entry.path.size() <= sizeof(kRecordingsFolder) - 1 || HasParentStep(entry.path)) {
      return std::nullopt;
    }
    entry.label = MemoElementText(MemoDictValue(top, "RCSavedRecordingTitle"));
    const std::optional<int64_t> date =
        ParseIsoUtcDate(MemoElementText(MemoDictValue(top, "RCSavedRecordingCreationDate")));
    const TiXmlElement* time = MemoDictValue(top, "RCSavedRecordingCreationTime");
    if (date) {
      entry.unix_date = *date;
    } else if (time) {
      entry.unix_date = MemoUnixFrom2001(MemoElementNumber(time));
    }
    return entry;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}
