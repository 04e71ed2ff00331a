#include "utility/module/bookmark/bookmark_operations.h"

#include "utility/module/sync/push_text.h"
#include "utility/module/vado_module.h"

void ReadBookmarks(SyncSession& session, BookmarkSyncContext& context) {
  session.Open(false);
  session.PullAllRecords(context, false);
}

std::vector<SyncDataMessage> BookmarkReadMessages(const BookmarkTree& tree, bool kept_elsewhere) {
  const int64_t count = (tree.bookmark_count() == 0 && kept_elsewhere) ? -1 : tree.bookmark_count();
  const std::string info = CountInfo(count);
  std::vector<SyncDataMessage> out{SyncDataMessage{0, 0, info, {}}};
  for (const BookmarkNode* root : tree.roots()) {
    out.push_back(SyncDataMessage{0, 1, info, BookmarkTree::NodeJson(*root)});
  }
  return out;
}

int64_t PushBookmarkChanges(SyncSession& session, const std::string& push_text,
                            BookmarkSyncContext& context) {
  if (!IsPushableText(push_text)) return kResultBadBody;
  session.Open(false);
  session.BeginPush(OneAcknowledgePush());
  context.mode = 2;
  session.Exchange(push_text, context);
  session.FinishPush();
  return session.Outcome(true);
}

int64_t DeleteBookmark(SyncSession& session, const std::string& record_id,
                       BookmarkSyncContext& context) {
  const std::string push = DeleteRecordXml(session.data_class(), record_id);
  if (!IsPushableText(push)) return kResultBadBody;
  session.Open(true);
  session.BeginPush(OneAcknowledgePush());
  context.mode = 3;
  session.Exchange(push, context);
  session.FinishPush();
  return session.Outcome(true);
}
