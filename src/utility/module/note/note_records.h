// Notes of one read and their JSON, and the push message that adds a plain-text note.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "common/plist_value.h"
#include "utility/module/sync/sync_collector.h"

struct NoteRecord {
  std::string id;
  std::string subject;
  std::string author;
  std::string content;
  std::string entity;
  std::string date_created;          // local time
  std::string date_created_source;   // as the device wrote it
  std::string date_modified;
  std::string date_modified_source;
  std::string content_type;
  std::string guid;                  // the front end's identifier, only for an added note
};

// Every record of one reply, whatever its entity.
void AddNoteRecords(const PlistValue& message, std::vector<NoteRecord>* notes);

// [{...}, ...] for notes [begin, end).
std::string NotesJson(const std::vector<NoteRecord>& notes, size_t begin, size_t end);

// The push of a new note under `id`: entity, "text/plain", both dates `utc_now`, and
// "subject" / "content" only when given.
std::string NotePushXml(const std::string& id, const std::optional<std::string>& title,
                        const std::optional<std::string>& content, const std::string& utc_now);

// Collector modes: 0 parse, 1 collect the device identifier of `remap_key`; others read.
class NoteSyncContext : public SyncCollector {
 public:
  void OnReply(const PlistValue* message, int* read_another, uint32_t* result) override;

  std::string remap_key;
  std::string device_id;
  std::vector<NoteRecord> notes;
};
