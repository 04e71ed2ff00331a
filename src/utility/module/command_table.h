// Command id → the module that serves it. Filled once at start-up and read without a
// lock afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "utility/module/vado_module.h"

class CommandTable {
 public:
  // Takes ownership of `module` and registers it under every id in `ids`.
  void Register(std::unique_ptr<VadoModule> module, const std::vector<uint32_t>& ids);
  VadoModule* Find(uint32_t command_id) const;

  static CommandTable& GetInstance();

 private:
  std::vector<std::unique_ptr<VadoModule>> modules_;
  std::map<uint32_t, VadoModule*> table_;
};

// Registers every request module of the agent with `client`'s table.
void FillCommandTable(CommandTable& table, VadoClient& client);
