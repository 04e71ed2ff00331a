#include "farm_values.h"

#include <plist/plist.h>

#include <fstream>
#include <sstream>

namespace {

std::string Text(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return "";
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::string text = value != nullptr ? value : "";
  free(value);
  return text;
}

uint64_t Number(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  uint64_t value = 0;
  if (node != nullptr && plist_get_node_type(node) == PLIST_UINT) plist_get_uint_val(node, &value);
  return value;
}

}  // namespace

FarmValues ReadFarmValues(const std::filesystem::path& farm, const std::string& udid) {
  FarmValues values;
  std::ifstream in(farm / "devices" / udid / "values.plist", std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  std::string bytes = content.str();
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) return values;
  plist_t top = plist_dict_get_item(root, "Root");
  if (top != nullptr) {
    values.serial_number = Text(top, "SerialNumber");
    values.product_type = Text(top, "ProductType");
    values.product_version = Text(top, "ProductVersion");
    values.device_class = Text(top, "DeviceClass");
    values.device_name = Text(top, "DeviceName");
  }
  plist_t domains = plist_dict_get_item(root, "Domains");
  plist_t disk = domains != nullptr ? plist_dict_get_item(domains, "com.apple.disk_usage") : nullptr;
  if (disk != nullptr) {
    values.total_bytes = Number(disk, "TotalDataCapacity");
    values.free_bytes = Number(disk, "TotalDataAvailable");
  }
  plist_free(root);
  return values;
}
