// A conversation's uncommitted view of one data class: the records as they were when the
// class was opened, plus the changes the host pushed since. The changes are kept as
// operations too, so finishing the conversation can apply exactly them to the store.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "plist_ptr.h"
#include "sync_classes.h"
#include "sync_store.h"

namespace devsim {

class SyncWorkingCopy {
 public:
  SyncWorkingCopy(const SyncClassInfo& cls, std::shared_ptr<SyncStore> store);

  plist_t records() const { return records_.get(); }
  const std::vector<SyncOp>& ops() const { return ops_; }

  // Applies one pushed records dictionary (id -> record, or id -> the empty parameter for
  // a deletion). New records get device identifiers; the result maps each host identifier
  // to the device's (and, with `echo_modified`, each modified record's identifier to
  // itself). Records of other classes' entities, and values of other types, are ignored.
  Plist ApplyPush(plist_t pushed, bool echo_modified);

  // Removes every record (SDMessageClearAllRecordsOnDevice).
  void ClearAll();

 private:
  void Put(const std::string& id, plist_t record);
  void Delete(const std::string& id);
  // A fresh device identifier for a new record, or empty when it cannot have one.
  std::string NewId(const std::string& host_id, const std::string& entity, plist_t record);
  // Rewrites references to records this conversation created under host identifiers.
  void TranslateReferences(plist_t record) const;
  bool KnownEntity(const std::string& entity) const;

  const SyncClassInfo& cls_;
  std::shared_ptr<SyncStore> store_;
  Plist records_;
  std::vector<SyncOp> ops_;
  std::map<std::string, std::string> remapped_;  // host id -> device id, whole conversation
};

}  // namespace devsim
