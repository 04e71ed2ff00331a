// Reads a simulated device's lockdown values straight from its farm, to compare with
// what the agent reports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

struct FarmValues {
  std::string serial_number;
  std::string product_type;
  std::string product_version;
  std::string device_class;
  std::string device_name;
  uint64_t total_bytes = 0;
  uint64_t free_bytes = 0;
};

FarmValues ReadFarmValues(const std::filesystem::path& farm, const std::string& udid);
