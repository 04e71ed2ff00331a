// Notes of one device (commands 1200 read, 1201 add a plain-text note).
#pragma once


#include "utility/module/sync/sync_module.h"

class VadoModuleNote : public SyncModule {
 public:
  using SyncModule::SyncModule;

 protected:
  bool NeedsOneSection(uint32_t command) const override { return command == 1201; }
  int64_t Run(const SyncRequest& request) override;

 private:
  int64_t Read(const SyncRequest& request);
  int64_t Add(const SyncRequest& request);
};
