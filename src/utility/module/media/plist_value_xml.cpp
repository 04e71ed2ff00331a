#include "utility/module/media/plist_value_xml.h"

#include <cstdio>

#include "common/text_convert.h"
#include "common/xml_text.h"

namespace plist_xml_detail {

void AppendPlistElement(const PlistValue& value, std::string* out) {
  switch (value.tag()) {
    case kPlistText:
      *out += "<string>" + XmlEscape(Utf16ToUtf8(value.text())) + "</string>\n";
      break;
    case kPlistInt32:
    case kPlistInt64:
      *out += "<integer>" +
              std::to_string(value.tag() == kPlistInt32 ? value.int32() : value.int64()) +
              "</integer>\n";
      break;
    case kPlistReal: {
      char text[40];
      std::snprintf(text, sizeof(text), "%.17g", value.real());
      *out += std::string("<real>") + text + "</real>\n";
      break;
    }
    case kPlistBoolean:
      *out += value.boolean() != 0 ? "<true/>\n" : "<false/>\n";
      break;
    case kPlistArray:
      *out += "<array>\n";
      for (const PlistValue& item : value.array()) AppendPlistElement(item, out);
      *out += "</array>\n";
      break;
    case kPlistDictionary: {
      *out += "<dict>\n";
      if (CIOSDictionary* dict = value.dictionary()) {
        for (const auto& [key, item] : dict->items()) {
          if (item.empty()) continue;
          *out += "<key>" + XmlEscape(key) + "</key>\n";
          AppendPlistElement(item, out);
        }
      }
      *out += "</dict>\n";
      break;
    }
    default:
      break;
  }
}

}  // namespace plist_xml_detail

std::string PlistValueToXml(const PlistValue& value) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";
  plist_xml_detail::AppendPlistElement(value, &out);
  out += "</plist>\n";
  return out;
}
