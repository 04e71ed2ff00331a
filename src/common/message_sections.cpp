#include "common/message_sections.h"

#include "common/json_text.h"
#include "common/number_parse.h"
#include "common/zlib_codec.h"

std::string BuildHeaderObject(const ReplyRecord& record) {
  std::string header = "{\"stage\":";
  header += std::to_string(record.stage);
  header += ",\"code\":";
  header += std::to_string(record.code);
  header += ",\"uuid\":\"";
  if (record.uuid) header += JsonEscape(*record.uuid);
  header += "\",\"type\":";
  header += std::to_string(record.type);
  if (record.info) {
    header += ",\"info\":";
    header += record.info->empty() ? std::string("\"\"") : *record.info;
  }
  header += '}';
  return header;
}

MessageParts BuildMessageParts(const ReplyRecord& record) {
  MessageParts parts;
  parts.text = std::to_string(record.count);
  parts.text += '\0';
  parts.text += BuildHeaderObject(record);
  parts.text += '\0';
  if (!record.body.empty()) {
    parts.body = record.type == 0 ? ZlibCompress(record.body, 9) : std::string(record.body);
  }
  return parts;
}

std::string BuildMessageText(const ReplyRecord& record) {
  MessageParts parts = BuildMessageParts(record);
  return parts.text + parts.body;
}

MessageSections SplitMessage(std::string_view payload) {
  MessageSections sections;
  size_t count_end = payload.find('\0');
  if (count_end == std::string_view::npos) return sections;
  sections.count = ParseLeadingInt(payload.substr(0, count_end));
  size_t header_start = count_end + 1;
  size_t header_end = payload.find('\0', header_start);
  if (header_end == std::string_view::npos) return sections;
  sections.header = payload.substr(header_start, header_end - header_start);
  sections.body = payload.substr(header_end + 1);
  sections.valid = true;
  return sections;
}
