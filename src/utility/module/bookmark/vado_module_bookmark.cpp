#include "utility/module/bookmark/vado_module_bookmark.h"

#include "utility/module/bookmark/bookmark_operations.h"
#include "utility/module/sync/data_sync_check.h"
#include "utility/module/sync/push_text.h"

int64_t VadoModuleBookmark::Run(const SyncRequest& request) {
  switch (request.packet.command_id) {
    case 1400: return Read(request);
    case 1401: return Push(request);
    case 1402: return Delete(request);
    default: return kResultOk;
  }
}

int64_t VadoModuleBookmark::Read(const SyncRequest& request) {
  BookmarkSyncContext context;
  ReadSteps steps;
  steps.pull = [&](SyncSession& session) { ReadBookmarks(session, context); };
  steps.empty = [&] { return context.tree.bookmark_count() == 0; };
  steps.messages = [&](bool kept_elsewhere) { return BookmarkReadMessages(context.tree, kept_elsewhere); };
  return ReadAll(request, kBookmarksClass, steps);
}

int64_t VadoModuleBookmark::Push(const SyncRequest& request) {
  std::optional<std::string> text = DecompressRequestBody(request.header);
  if (!text || !IsPushableText(*text)) return kResultBadBody;
  ServicePtr service = StartSyncService(request);
  if (!service) return kResultNoSyncService;
  BookmarkSyncContext context;
  SyncSession session(service->connection(), kBookmarksClass, request.task);
  return PushBookmarkChanges(session, *text, context);
}

int64_t VadoModuleBookmark::Delete(const SyncRequest& request) {
  std::optional<rapidjson::Document> body = ParseBodyObject(request.header);
  if (!body) return kResultBadBody;
  std::optional<std::string> id = StringMember(*body, "id");
  if (!id) return kResultBadBody;
  ServicePtr service = StartSyncService(request);
  if (!service) return kResultNoSyncService;
  BookmarkSyncContext context;
  SyncSession session(service->connection(), kBookmarksDeleteClass, request.task);
  return DeleteBookmark(session, *id, context);
}
