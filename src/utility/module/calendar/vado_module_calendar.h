// Calendars of one device (commands 1500 read, 1501 add or edit from push messages the
// front end wrote, 1502 delete a record).
#pragma once

#include "utility/module/sync/sync_module.h"

class VadoModuleCalendar : public SyncModule {
 public:
  using SyncModule::SyncModule;

 protected:
  bool NeedsOneSection(uint32_t command) const override { return command != 1500; }
  int64_t Run(const SyncRequest& request) override;

 private:
  int64_t Read(const SyncRequest& request);
  int64_t AddOrEdit(const SyncRequest& request);
  int64_t Delete(const SyncRequest& request);
};
