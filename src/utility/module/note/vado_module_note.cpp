#include "utility/module/note/vado_module_note.h"

#include "utility/module/note/note_operations.h"
#include "utility/module/sync/data_sync_check.h"

int64_t VadoModuleNote::Run(const SyncRequest& request) {
  switch (request.packet.command_id) {
    case 1200: return Read(request);
    case 1201: return Add(request);
    default: return kResultOk;
  }
}

int64_t VadoModuleNote::Read(const SyncRequest& request) {
  NoteSyncContext context;
  ReadSteps steps;
  steps.pull = [&](SyncSession& session) { ReadNotes(session, context); };
  steps.empty = [&] { return context.notes.empty(); };
  steps.messages = [&](bool kept_elsewhere) { return NoteReadMessages(context.notes, kept_elsewhere); };
  return ReadAll(request, kNotesClass, steps);
}

int64_t VadoModuleNote::Add(const SyncRequest& request) {
  std::optional<rapidjson::Document> body = ParseBodyObject(request.header);
  if (!body) return kResultBadBody;
  std::optional<NoteAdd> add = ParseNoteAdd(*body);
  if (!add) return kResultBadBody;
  ServicePtr service = StartSyncService(request);
  if (!service) return kResultNoSyncService;
  SyncSession session(service->connection(), kNotesClass, request.task);
  NoteRecord added;
  const int64_t code = AddNote(session, *add, std::time(nullptr), &added);
  service.reset();
  if (code != kResultOk) return code;
  Send(request, {SyncDataMessage{0, 0, {}, NotesJson({added}, 0, 1)}});
  return kResultOk;
}
