#include "utility/module/sync/identifier_replace.h"

#include "utility/module/sync/plist_xml_writer.h"

std::string ReplaceIdentifier(std::string_view xml, std::string_view old_id,
                              std::string_view new_id) {
  if (old_id.empty()) return std::string(xml);
  const std::string from = XmlEscape(old_id);
  const std::string to = XmlEscape(new_id);
  std::string out;
  out.reserve(xml.size());
  size_t pos = 0;
  for (;;) {
    const size_t hit = xml.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(xml.substr(pos, hit - pos));
    out += to;
    pos = hit + from.size();
  }
  out.append(xml.substr(pos));
  return out;
}
