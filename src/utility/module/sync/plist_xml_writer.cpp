#include "utility/module/sync/plist_xml_writer.h"

PlistXmlWriter::PlistXmlWriter() {
  text_ =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">";
}

PlistXmlWriter& PlistXmlWriter::BeginArray() { text_ += "<array>"; return *this; }
PlistXmlWriter& PlistXmlWriter::EndArray() { text_ += "</array>"; return *this; }
PlistXmlWriter& PlistXmlWriter::BeginDict() { text_ += "<dict>"; return *this; }
PlistXmlWriter& PlistXmlWriter::EndDict() { text_ += "</dict>"; return *this; }

PlistXmlWriter& PlistXmlWriter::Key(std::string_view key) {
  text_ += "<key>";
  text_ += XmlEscape(key);
  text_ += "</key>";
  return *this;
}

PlistXmlWriter& PlistXmlWriter::String(std::string_view text) {
  text_ += "<string>";
  text_ += XmlEscape(text);
  text_ += "</string>";
  return *this;
}

PlistXmlWriter& PlistXmlWriter::Integer(int64_t value) {
  text_ += "<integer>";
  text_ += std::to_string(value);
  text_ += "</integer>";
  return *this;
}

PlistXmlWriter& PlistXmlWriter::Bool(bool value) {
  text_ += value ? "<true/>" : "<false/>";
  return *this;
}

PlistXmlWriter& PlistXmlWriter::Date(std::string_view utc) {
  text_ += "<date>";
  text_ += XmlEscape(utc);
  text_ += "</date>";
  return *this;
}

std::string PlistXmlWriter::Finish() {
  text_ += "</plist>\n";
  return std::move(text_);
}

std::string SyncMessageXml(std::string_view name, std::string_view argument) {
  return PlistXmlWriter().BeginArray().String(name).String(argument).EndArray().Finish();
}
