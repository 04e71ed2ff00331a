// A conversation's uncommitted view of one data class: the records as they were when the
// class was opened, plus the changes the host pushed since. The changes are kept as
// operations too, so finishing the conversation can apply exactly them to the store.
#pragma once

#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "plist/plist_ptr.h"
#include "services/sync/sync_classes.h"
#include "services/sync/sync_store.h"

namespace devsim {

class SyncWorkingCopy {
 public:
  SyncWorkingCopy(const SyncClassInfo& cls, std::shared_ptr<SyncStore> store);

  // Every record as this conversation sees it: id -> record. Valid until the next change.
  plist_t records();
  const std::vector<SyncOp>& ops() const { return ops_; }
  // Hands the operations over (to commit them) and forgets them.
  std::vector<SyncOp> TakeOps() { return std::move(ops_); }

  // Applies one pushed records dictionary (id -> record, or id -> the empty parameter for
  // a deletion). New records get device identifiers; the result maps each host identifier
  // to the device's (and, with `echo_modified`, each modified record's identifier to
  // itself). Records of other classes' entities, and values of other types, are ignored.
  Plist ApplyPush(plist_t pushed, bool echo_modified);

  // Removes every record (SDMessageClearAllRecordsOnDevice).
  void ClearAll();

 private:
  // The record of `id` as this conversation sees it, or null.
  plist_t Get(const std::string& id) const;
  std::vector<std::string> Ids() const;
  void Put(const std::string& id, plist_t record);
  // Deletes the records and, with them, what belongs to them.
  void Delete(const std::vector<std::string>& ids);
  // A fresh device identifier for a new record, or empty when it cannot have one.
  std::string NewId(const std::string& host_id, const std::string& entity, plist_t record);
  // Rewrites references to records this conversation created under host identifiers.
  void TranslateReferences(plist_t record) const;
  bool KnownEntity(const std::string& entity) const;

  const SyncClassInfo& cls_;
  std::shared_ptr<SyncStore> store_;
  // The store's records when the class was opened, and this conversation's changes on top.
  SyncSnapshot base_;
  bool cleared_ = false;                 // the base counts for nothing
  std::map<std::string, Plist> changed_;  // id -> new record, or null when deleted
  Plist merged_;                         // base plus changes, made when asked for
  std::vector<SyncOp> ops_;
  std::map<std::string, std::string> remapped_;  // host id -> device id, whole conversation
};

}  // namespace devsim
