#include "utility/module/file/file_header.h"

#include <algorithm>
#include <limits>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/json_text.h"
#include "common/number_parse.h"

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

int64_t MemberInt64(const rapidjson::Value& object, const char* key) {
  auto found = object.FindMember(key);
  if (found == object.MemberEnd()) return 0;
  const rapidjson::Value& value = found->value;
  if (value.IsInt64()) return value.GetInt64();
  if (value.IsUint64()) return std::numeric_limits<int64_t>::max();
  if (value.IsDouble()) {
    double number = value.GetDouble();
    if (!(number > -9.2e18 && number < 9.2e18)) return number < 0 ? -1 : std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(number);
  }
  return 0;
}

std::string MemberText(const rapidjson::Value& object, const char* key) {
  auto found = object.FindMember(key);
  if (found == object.MemberEnd() || !found->value.IsString()) return std::string();
  return std::string(found->value.GetString(), found->value.GetStringLength());
}

void WriteText(Writer* writer, const char* key, const std::string& value) {
  writer->Key(key);
  writer->String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

void WriteBlocks(Writer* writer, const BlockTable& blocks, bool with_done) {
  writer->Key("fbs");
  writer->StartObject();
  for (const auto& [key, block] : blocks) {
    writer->Key(key.c_str(), static_cast<rapidjson::SizeType>(key.size()));
    writer->StartObject();
    writer->Key("status");
    writer->Int(with_done && block.done ? 1 : 0);
    writer->Key("offset");
    writer->Int64(block.offset);
    writer->Key("offset_length");
    writer->Int64(block.length);
    writer->EndObject();
  }
  writer->EndObject();
}

// Reads an "fbs" object; the key is re-written from the parsed id so that "01" and "1"
// cannot name two entries of one block.
bool ReadBlocks(const rapidjson::Value& fbs, bool with_done, BlockTable* blocks) {
  blocks->clear();
  if (!fbs.IsObject()) return false;
  for (auto member = fbs.MemberBegin(); member != fbs.MemberEnd(); ++member) {
    if (!member->value.IsObject()) return false;
    BlockEntry entry;
    entry.id = ParseLeadingInt64(
        std::string_view(member->name.GetString(), member->name.GetStringLength()));
    entry.offset = MemberInt64(member->value, "offset");
    entry.length = MemberInt64(member->value, "offset_length");
    entry.done = with_done && MemberInt64(member->value, "status") != 0 ? 1 : 0;
    (*blocks)[BlockKey(entry.id)] = entry;
  }
  return true;
}

}  // namespace

std::string BlockKey(int64_t id) { return std::to_string(id); }

void MakeBlocks(FileHeader* header) {
  header->blocks.clear();
  if (header->size <= 0 || header->block_size <= 0) return;
  int64_t offset = 0;
  for (int64_t id = 1; offset < header->size; ++id) {
    BlockEntry entry;
    entry.id = id;
    entry.offset = offset;
    entry.length = std::min(header->block_size, header->size - offset);
    header->blocks[BlockKey(id)] = entry;
    offset += entry.length;
  }
}

const BlockEntry* FirstPending(const BlockTable& blocks) {
  for (const auto& [key, block] : blocks) {
    if (!block.done) return &block;
  }
  return nullptr;
}

bool AllBlocksDone(const BlockTable& blocks) { return FirstPending(blocks) == nullptr; }

bool BlocksWithinFile(const BlockTable& blocks, int64_t size) {
  if (size < 0) return false;
  for (const auto& [key, block] : blocks) {
    if (block.offset < 0 || block.length <= 0 || block.offset > size ||
        block.length > size - block.offset) {
      return false;
    }
  }
  return true;
}

std::string BlockMessageJson(int64_t id, int64_t length, int64_t offset) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  writer.Key("id");
  writer.Int64(id);
  writer.Key("offset_length");
  writer.Int64(length);
  writer.Key("offset");
  writer.Int64(offset);
  writer.EndObject();
  return buffer.GetString();
}

bool ParseBlockMessage(std::string_view text, FilePacket* packet) {
  rapidjson::Document doc;
  if (!ParseUntrustedJson(text, &doc) || !doc.IsObject()) return false;
  packet->id = MemberInt64(doc, "id");
  packet->length = MemberInt64(doc, "offset_length");
  packet->offset = MemberInt64(doc, "offset");
  return true;
}

std::string DescriptionJson(const FileHeader& header) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  WriteText(&writer, "version", header.version);
  if (!header.type.empty()) WriteText(&writer, "type", header.type);
  if (!header.file_name.empty()) WriteText(&writer, "file_name", header.file_name);
  WriteText(&writer, "md5", header.md5);
  writer.Key("size");
  writer.Int64(header.size);
  writer.Key("status");
  writer.Int(0);
  WriteBlocks(&writer, header.blocks, false);
  writer.EndObject();
  return buffer.GetString();
}

std::string JournalJson(const FileHeader& header) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  WriteText(&writer, "version", kFileFormatVersion);
  size_t slash = header.path.rfind('/');
  WriteText(&writer, "path", slash == std::string::npos ? std::string() : header.path.substr(slash + 1));
  WriteText(&writer, "md5", header.md5);
  writer.Key("size");
  writer.Int64(header.size);
  writer.Key("status");
  writer.Int(0);
  WriteBlocks(&writer, header.blocks, true);
  writer.EndObject();
  return buffer.GetString();
}

bool ParseUploadDescription(std::string_view text, FileHeader* header) {
  rapidjson::Document doc;
  if (!ParseUntrustedJson(text, &doc) || !doc.IsObject()) return false;
  header->md5 = MemberText(doc, "md5");
  header->path = MemberText(doc, "path");
  header->version = MemberText(doc, "version");
  header->size = MemberInt64(doc, "size");
  header->path_source = MemberText(doc, "path_source");
  header->path_project = MemberText(doc, "path_project");
  auto fbs = doc.FindMember("fbs");
  if (fbs == doc.MemberEnd()) {
    header->blocks.clear();
  } else if (!ReadBlocks(fbs->value, false, &header->blocks)) {
    return false;
  }
  return header->size >= 0 && BlocksWithinFile(header->blocks, header->size);
}

bool ParseJournal(std::string_view text, std::string* version, int64_t* size, BlockTable* blocks) {
  rapidjson::Document doc;
  if (!ParseUntrustedJson(text, &doc) || !doc.IsObject()) return false;
  *version = MemberText(doc, "version");
  *size = MemberInt64(doc, "size");
  auto fbs = doc.FindMember("fbs");
  if (fbs == doc.MemberEnd()) {
    blocks->clear();
    return true;
  }
  return ReadBlocks(fbs->value, true, blocks);
}
