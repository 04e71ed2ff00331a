// The bookmark conversations on a started service connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "utility/module/bookmark/bookmark_tree.h"
#include "utility/module/sync/sync_output.h"
#include "utility/module/sync/sync_session.h"

// Opens the class (read version) and takes the first batch.
void ReadBookmarks(SyncSession& session, BookmarkSyncContext& context);
// Count info, then one message per root with its tree.
std::vector<SyncDataMessage> BookmarkReadMessages(const BookmarkTree& tree, bool kept_elsewhere);

// Sends the front end's push text (already checked to be a property list). 0 or
// kResultBadBody.
int64_t PushBookmarkChanges(SyncSession& session, const std::string& push_text,
                            BookmarkSyncContext& context);

// `session` must use the delete version of the class. 0 or kResultBadBody.
int64_t DeleteBookmark(SyncSession& session, const std::string& record_id,
                       BookmarkSyncContext& context);
