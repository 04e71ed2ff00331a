#include "utility/module/note/note_records.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/text_convert.h"
#include "utility/module/sync/plist_xml_writer.h"
#include "utility/module/sync/sync_data_class.h"
#include "utility/module/sync/sync_date.h"
#include "utility/module/sync/sync_record_fields.h"

void AddNoteRecords(const PlistValue& message, std::vector<NoteRecord>* notes) {
  ForEachRecord(message, [notes](const std::string& id, const std::string& entity,
                                 const CIOSDictionary& record) {
    NoteRecord note;
    note.id = id;
    note.entity = entity;
    note.subject = TextField(record, "subject").value_or("");
    note.author = TextField(record, "author").value_or("");
    note.content = TextField(record, "content").value_or("");
    note.content_type = TextField(record, "contentType").value_or("");
    note.date_created_source = TextField(record, "dateCreated").value_or("");
    note.date_created = UtcDateTextToLocal(note.date_created_source);
    note.date_modified_source = TextField(record, "dateModified").value_or("");
    note.date_modified = UtcDateTextToLocal(note.date_modified_source);
    notes->push_back(std::move(note));
  });
}

std::string NotesJson(const std::vector<NoteRecord>& notes, size_t begin, size_t end) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  auto put = [&](const char* key, const std::string& text) {
    writer.Key(key);
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  };
  writer.StartArray();
  for (size_t i = begin; i < end && i < notes.size(); ++i) {
    const NoteRecord& note = notes[i];
    writer.StartObject();
    put("id", note.id);
    put("guid", note.guid);
    put("subject", note.subject);
    put("author", note.author);
    put("content", note.content);
    put("dateCreated", note.date_created);
    put("dateCreatedSource", note.date_created_source);
    put("dateModified", note.date_modified);
    put("dateModifiedSource", note.date_modified_source);
    put("contentType", note.content_type);
    put("com_apple_syncservices_RecordEntityName", note.entity);
    writer.EndObject();
  }
  writer.EndArray();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string NotePushXml(const std::string& id, const std::optional<std::string>& title,
                        const std::optional<std::string>& content, const std::string& utc_now) {
  PlistXmlWriter xml;
  xml.BeginArray()
      .String(kMsgProcessChanges)
      .String(kNotesClass.name)
      .BeginDict()
      .Key(id)
      .BeginDict()
      .Key(kRecordEntityNameKey)
      .String("com.apple.notes.Note");
  if (content) xml.Key("content").String(*content);
  xml.Key("contentType").String("text/plain");
  xml.Key("dateCreated").Date(utc_now).Key("dateModified").Date(utc_now);
  if (title) xml.Key("subject").String(*title);
  xml.EndDict()
      .EndDict()
      .Bool(false)
      .BeginDict()
      .Key("SyncDeviceLinkEntityNamesKey")
      .BeginArray()
      .String("com.apple.notes.Note")
      .EndArray()
      .Key("SyncDeviceLinkAllRecordsOfPulledEntityTypeSentKey")
      .Bool(true)
      .EndDict()
      .EndArray();
  return xml.Finish();
}

void NoteSyncContext::OnReply(const PlistValue* message, int*, uint32_t*) {
  if (message == nullptr || message->tag() != kPlistArray || message->array().empty()) return;
  if (mode == 0) {
    AddNoteRecords(*message, &notes);
  } else if (mode == 1) {
    for (const PlistValue& element : message->array()) {
      const CIOSDictionary* map = element.dictionary();
      if (map == nullptr) continue;
      const PlistValue* found = map->Find(remap_key);
      if (found != nullptr && found->tag() == kPlistText) device_id = Utf16ToUtf8(found->text());
    }
  }
}
