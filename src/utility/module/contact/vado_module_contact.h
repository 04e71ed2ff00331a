// Contacts and contact groups of one device (commands 100 to 106): read everything, add
// or edit a contact from push messages the front end wrote, delete a record, create a
// group and set a group's name and members.
#pragma once

#include "utility/module/sync/sync_module.h"

class VadoModuleContact : public SyncModule {
 public:
  using SyncModule::SyncModule;

 protected:
  bool NeedsOneSection(uint32_t) const override { return true; }
  int64_t Run(const SyncRequest& request) override;

 private:
  int64_t Read(const SyncRequest& request);
  int64_t AddOrEdit(const SyncRequest& request);
  int64_t Delete(const SyncRequest& request);
  int64_t Group(const SyncRequest& request, bool set_members);
};
