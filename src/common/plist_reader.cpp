#include "common/plist_reader.h"

#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <limits>
#include <new>

#include <tinyxml.h>

#include "common/number_parse.h"
#include "common/text_convert.h"
#include "iOSAPI/MobileExportFun.h"

namespace {

// Largest file PlistFileToValue reads; larger files are refused rather than loaded whole.
constexpr std::streamoff kMaxPlistFileBytes = 256 << 20;

// Text values must reach modules exactly as written, spaces and line breaks included, so
// TinyXML is told once, before any parse, not to condense white space.
const bool kWhiteSpaceKept = [] {
  TiXmlBase::SetCondenseWhiteSpace(false);
  return true;
}();

bool Is(const TiXmlElement* e, const char* name) { return strcasecmp(e->Value(), name) == 0; }

void ReadDictionary(const TiXmlElement* dict, CIOSDictionary* out);

void ReadArray(const TiXmlElement* parent, PlistValue::Array* out) {
  for (const TiXmlElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement()) {
    const char* text = e->GetText();
    if (Is(e, "string")) {
      if (text) out->push_back(PlistValue::Text(Utf8ToUtf16(text)));
    } else if (Is(e, "integer")) {
      if (text) out->push_back(PlistValue::Int64(ParseLeadingInt64(text)));
    } else if (Is(e, "true") || Is(e, "false")) {
      out->push_back(PlistValue::Boolean(Is(e, "true")));
    } else if (Is(e, "array")) {
      PlistValue::Array items;
      ReadArray(e, &items);
      out->push_back(PlistValue::MakeArray(std::move(items)));
    } else if (Is(e, "dict")) {
      IOSDictionaryPtr d = CIOSDictionary::Create();
      ReadDictionary(e, d.get());
      out->push_back(PlistValue::Dictionary(std::move(d)));
    } else if (Is(e, "real")) {
      if (text) out->push_back(PlistValue::Real(std::strtod(text, nullptr)));
    }
  }
}

void ReadDictionary(const TiXmlElement* dict, CIOSDictionary* out) {
  const TiXmlElement* key = dict->FirstChildElement();
  while (key) {
    const TiXmlElement* value = key->NextSiblingElement();
    if (!value) break;
    const char* key_text = key->GetText();
    key = value->NextSiblingElement();
    if (!key_text) continue;
    const char* text = value->GetText();
    if (Is(value, "string") || Is(value, "date") || Is(value, "data")) {
      if (text) out->Set(key_text, PlistValue::Text(Utf8ToUtf16(text)));
    } else if (Is(value, "integer")) {
      if (text) out->Set(key_text, PlistValue::Int64(ParseLeadingInt64(text)));
    } else if (Is(value, "true") || Is(value, "false")) {
      out->Set(key_text, PlistValue::Boolean(Is(value, "true")));
    } else if (Is(value, "array")) {
      PlistValue::Array items;
      ReadArray(value, &items);
      out->Set(key_text, PlistValue::MakeArray(std::move(items)));
    } else if (Is(value, "dict")) {
      IOSDictionaryPtr d = CIOSDictionary::Create();
      ReadDictionary(value, d.get());
      out->Set(key_text, PlistValue::Dictionary(std::move(d)));
    }
  }
}

// Property-list bytes in any format to XML text through the table; false when the CF
// library refuses them.
bool ToXmlText(const void* bytes, size_t length, std::string* xml) {
  auto& fun = CMobileExportFun::GetInstance();
  if (!fun.IsLoaded() || !bytes || length == 0 ||
      length > static_cast<size_t>(std::numeric_limits<CFIndex>::max())) {
    return false;
  }
  CFDataRef data = fun.CFDataCreate(kCFDefaultAllocator, static_cast<const uint8_t*>(bytes),
                                    static_cast<CFIndex>(length));
  if (!data) return false;
  CFPropertyListRef list =
      fun.CFPropertyListCreateWithData(kCFDefaultAllocator, data, 0, nullptr, nullptr);
  fun.CFRelease(data);
  if (!list) return false;
  CFDataRef xml_data = fun.CFPropertyListCreateXMLData(kCFDefaultAllocator, list);
  fun.CFRelease(list);
  if (!xml_data) return false;
  const CFIndex xml_length = fun.CFDataGetLength(xml_data);
  xml->assign(reinterpret_cast<const char*>(fun.CFDataGetBytePtr(xml_data)),
              static_cast<size_t>(xml_length > 0 ? xml_length : 0));
  fun.CFRelease(xml_data);
  return true;
}

// Parses XML text; the document's root element or null.
const TiXmlElement* ParseXml(const std::string& xml, TiXmlDocument* doc) {
  (void)kWhiteSpaceKept;
  doc->Parse(xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
  return doc->Error() ? nullptr : doc->RootElement();
}

}  // namespace

bool PlistBytesToValue(const void* bytes, size_t length, PlistValue* out) {
  try {
    std::string xml;
    if (!ToXmlText(bytes, length, &xml)) return false;
    TiXmlDocument doc;
    const TiXmlElement* root = ParseXml(xml, &doc);
    if (!root) return false;
    PlistValue::Array items;
    ReadArray(root, &items);
    *out = PlistValue::MakeArray(std::move(items));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool PlistBytesToXml(const void* bytes, size_t length, std::string* xml) {
  try {
    return ToXmlText(bytes, length, xml);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool PlistFileToValue(const std::string& path, PlistValue* out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size <= 0 || size > kMaxPlistFileBytes) return false;
  std::string bytes(static_cast<size_t>(size), '\0');
  in.seekg(0);
  if (!in.read(bytes.data(), size)) return false;
  return PlistBytesToValue(bytes.data(), bytes.size(), out);
}

std::string PlistFirstValueText(const void* bytes, size_t length) {
  try {
    std::string xml;
    if (!ToXmlText(bytes, length, &xml)) return {};
    TiXmlDocument doc;
    const TiXmlElement* root = ParseXml(xml, &doc);
    if (!root) return {};
    const TiXmlElement* top = root->FirstChildElement();
    const TiXmlElement* key = top ? top->FirstChildElement() : nullptr;
    const TiXmlElement* value = key ? key->NextSiblingElement() : nullptr;
    const char* text = value ? value->GetText() : nullptr;
    return text ? text : "";
  } catch (const std::bad_alloc&) {
    return {};
  }
}
