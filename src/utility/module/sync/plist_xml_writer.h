// Writes XML property-list text element by element. Every sync message is built this
// way and converted to the binary format just before sending; texts are escaped, and
// the result grows as needed, so identifiers of any length fit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/xml_text.h"

class PlistXmlWriter {
 public:
  PlistXmlWriter();

  PlistXmlWriter& BeginArray();
  PlistXmlWriter& EndArray();
  PlistXmlWriter& BeginDict();
  PlistXmlWriter& EndDict();
  PlistXmlWriter& Key(std::string_view key);
  PlistXmlWriter& String(std::string_view text);
  PlistXmlWriter& Integer(int64_t value);
  PlistXmlWriter& Bool(bool value);
  // `utc` is "YYYY-MM-DDThh:mm:ssZ".
  PlistXmlWriter& Date(std::string_view utc);

  // The complete document; the writer is spent afterwards.
  std::string Finish();

 private:
  std::string text_;
};

// ["name", "argument"]: the two-element messages (pull, acknowledge, ping, finish).
std::string SyncMessageXml(std::string_view name, std::string_view argument);
