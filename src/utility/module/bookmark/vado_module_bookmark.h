// Browser bookmarks of one device (commands 1400 read the tree, 1401 push a change
// message the front end wrote, 1402 delete a bookmark).
#pragma once

#include "utility/module/sync/sync_module.h"

class VadoModuleBookmark : public SyncModule {
 public:
  using SyncModule::SyncModule;

 protected:
  bool NeedsOneSection(uint32_t) const override { return true; }
  int64_t Run(const SyncRequest& request) override;

 private:
  int64_t Read(const SyncRequest& request);
  int64_t Push(const SyncRequest& request);
  int64_t Delete(const SyncRequest& request);
};
