#include "utility/module/note/note_operations.h"

#include "utility/module/sync/push_text.h"
#include "utility/module/sync/sync_date.h"
#include "utility/module/sync/sync_request.h"
#include "utility/module/vado_module.h"

void ReadNotes(SyncSession& session, NoteSyncContext& context) {
  session.Open(false);
  session.PullAllRecords(context, false);
}

std::vector<SyncDataMessage> NoteReadMessages(const std::vector<NoteRecord>& notes,
                                              bool kept_elsewhere) {
  const int64_t count =
      (notes.empty() && kept_elsewhere) ? -1 : static_cast<int64_t>(notes.size());
  const std::string info = CountInfo(count);
  std::vector<SyncDataMessage> out{SyncDataMessage{0, 0, info, {}}};
  for (size_t begin = 0; begin < notes.size(); begin += kNotesPerMessage) {
    out.push_back(SyncDataMessage{0, 1, info, NotesJson(notes, begin, begin + kNotesPerMessage)});
  }
  return out;
}

std::optional<NoteAdd> ParseNoteAdd(const rapidjson::Value& body) {
  std::optional<std::string> id = StringMember(body, "id");
  if (!id) return std::nullopt;
  return NoteAdd{*id, StringMember(body, "title"), StringMember(body, "content")};
}

int64_t AddNote(SyncSession& session, const NoteAdd& add, std::time_t now, NoteRecord* added) {
  const std::string utc = FormatUtcDateText(now);
  const std::string push = NotePushXml(add.id, add.title, add.content, utc);
  if (!IsPushableText(push)) return kResultBadBody;
  NoteSyncContext context;
  session.Open(false);
  session.BeginPush(NotePush());
  context.mode = 1;
  context.remap_key = add.id;
  session.Exchange(push, context);
  session.FinishPush();
  if (const int64_t outcome = session.Outcome(true); outcome != kResultOk) return outcome;
  if (context.device_id.empty()) return kNoteNotAssigned;
  NoteRecord note;
  note.id = context.device_id;
  note.guid = add.id;
  note.subject = add.title.value_or("");
  note.content = add.content.value_or("");
  note.date_created = note.date_modified = UtcDateTextToLocal(utc);
  note.date_created_source = note.date_modified_source = utc;
  note.content_type = "text/plain";
  note.entity = "com.apple.notes.Note";
  *added = std::move(note);
  return kResultOk;
}
