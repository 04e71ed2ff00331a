// The note conversations on a started service connection.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "utility/module/note/note_records.h"
#include "utility/module/sync/sync_output.h"
#include "utility/module/sync/sync_session.h"

inline constexpr int64_t kNoteNotAssigned = 30;
inline constexpr size_t kNotesPerMessage = 20;

// Opens the class and takes the first batch.
void ReadNotes(SyncSession& session, NoteSyncContext& context);
// Count info, then the notes 20 to a message.
std::vector<SyncDataMessage> NoteReadMessages(const std::vector<NoteRecord>& notes,
                                              bool kept_elsewhere);

struct NoteAdd {
  std::string id;
  std::optional<std::string> title;
  std::optional<std::string> content;
};
// Nothing when the body has no string "id".
std::optional<NoteAdd> ParseNoteAdd(const rapidjson::Value& body);

// Pushes the note stamped `now`; on success fills `added` with the new note as reported
// to the front end. 0, kNoteNotAssigned, or kResultBadBody.
int64_t AddNote(SyncSession& session, const NoteAdd& add, std::time_t now, NoteRecord* added);
