#include "utility/module/command_table.h"

#include "utility/module/basicinfo/vado_module_basicinfo.h"
#include "utility/module/app/vado_module_app.h"
#include "utility/module/control/vado_module_control.h"
#include "utility/module/itunes/vado_module_itunes.h"
#include "utility/module/bookmark/vado_module_bookmark.h"
#include "utility/module/calendar/vado_module_calendar.h"
#include "utility/module/connect/vado_module_connect.h"
#include "utility/module/contact/vado_module_contact.h"
#include "utility/module/erase/vado_module_erase.h"
#include "utility/module/file/vado_module_file.h"
#include "utility/module/media/vado_module_media.h"
#include "utility/module/control/vado_module_control.h"
#include "utility/module/note/vado_module_note.h"
#include "utility/module/photo/vado_module_photo.h"
#include "utility/module/media/vado_module_media.h"
#include "utility/module/sms/vado_module_sms.h"

void CommandTable::Register(std::unique_ptr<VadoModule> module, const std::vector<uint32_t>& ids) {
  for (uint32_t id : ids) table_[id] = module.get();
  modules_.push_back(std::move(module));
}

VadoModule* CommandTable::Find(uint32_t command_id) const {
  auto it = table_.find(command_id);
  return it == table_.end() ? nullptr : it->second;
}

CommandTable& CommandTable::GetInstance() {
  static CommandTable* table = new CommandTable();
  return *table;
}

// The one list of command ids and the modules that serve them.
void FillCommandTable(CommandTable& table, VadoClient& client) {
  table.Register(std::make_unique<VadoModuleConnect>(client), {16, 17, 10, 18});
  table.Register(std::make_unique<VadoModuleBasicInfo>(client), {15, 300, 303});
  table.Register(std::make_unique<VadoModuleApp>(client), {501, 502, 504, 505, 506});
  table.Register(std::make_unique<VadoModuleControl>(client), {600});
  table.Register(std::make_unique<VadoModuleiTunes>(client),
                 {1600, 1601, 1602, 1603, 1604, 1605, 1606, 1607});
  table.Register(std::make_unique<VadoModuleContact>(client), {100, 101, 102, 103, 104, 105, 106});
  table.Register(std::make_unique<VadoModuleNote>(client), {1200, 1201});
  table.Register(std::make_unique<VadoModuleBookmark>(client), {1400, 1401, 1402});
  table.Register(std::make_unique<VadoModuleCalendar>(client), {1500, 1501, 1502});
  table.Register(std::make_unique<VadoModuleFile>(client), {701, 702, 703});
  table.Register(std::make_unique<VadoModuleSms>(client), {201});
  table.Register(std::make_unique<VadoModuleErase>(client), {1700, 1701});
  table.Register(std::make_unique<VadoModuleMedia>(client),
                 {1000, 1001, 1002, 1010, 1011, 1012, 1013});
  table.Register(std::make_unique<VadoModulePhoto>(client), {400, 401, 402, 403, 404});
}
