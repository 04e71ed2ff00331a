#include "plist/plist_ptr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace devsim {

Plist ParsePlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
  plist_t node = nullptr;
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0) {
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
  } else {
    plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
  }
  return Plist(node);
}

std::string ToXml(plist_t node) {
  char* xml = nullptr;
  uint32_t len = 0;
  plist_to_xml(node, &xml, &len);
  std::string out = xml ? std::string(xml, len) : std::string();
  plist_to_xml_free(xml);
  return out;
}

std::string ToBinary(plist_t node) {
  char* bin = nullptr;
  uint32_t len = 0;
  plist_to_bin(node, &bin, &len);
  std::string out = bin ? std::string(bin, len) : std::string();
  plist_to_bin_free(bin);
  return out;
}

Plist NewDict() { return Plist(plist_new_dict()); }
Plist NewArray() { return Plist(plist_new_array()); }
Plist Copy(plist_t node) { return Plist(node ? plist_copy(node) : nullptr); }

bool IsDict(plist_t node) { return node && plist_get_node_type(node) == PLIST_DICT; }

plist_t DictItem(plist_t dict, const char* key) {
  if (!IsDict(dict)) return nullptr;
  return plist_dict_get_item(dict, key);
}

std::optional<std::string> StringValue(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t len = 0;
  const char* p = plist_get_string_ptr(node, &len);
  if (!p) return std::string();
  return std::string(p, len);
}

std::optional<std::string> DataValue(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
  uint64_t len = 0;
  const char* p = plist_get_data_ptr(node, &len);
  if (!p) return std::string();
  return std::string(p, len);
}

std::optional<std::string> DictString(plist_t dict, const char* key) {
  return StringValue(DictItem(dict, key));
}

std::optional<uint64_t> DictUint(plist_t dict, const char* key) {
  plist_t n = DictItem(dict, key);
  if (!n || plist_get_node_type(n) != PLIST_UINT) return std::nullopt;
  uint64_t v = 0;
  plist_get_uint_val(n, &v);
  return v;
}

std::optional<bool> DictBool(plist_t dict, const char* key) {
  plist_t n = DictItem(dict, key);
  if (!n || plist_get_node_type(n) != PLIST_BOOLEAN) return std::nullopt;
  uint8_t v = 0;
  plist_get_bool_val(n, &v);
  return v != 0;
}

std::optional<std::string> DictData(plist_t dict, const char* key) {
  return DataValue(DictItem(dict, key));
}

void SetString(plist_t dict, const char* key, std::string_view value) {
  plist_dict_set_item(dict, key, plist_new_string(std::string(value).c_str()));
}
void SetUint(plist_t dict, const char* key, uint64_t value) {
  plist_dict_set_item(dict, key, plist_new_uint(value));
}
void SetBool(plist_t dict, const char* key, bool value) {
  plist_dict_set_item(dict, key, plist_new_bool(value ? 1 : 0));
}
void SetData(plist_t dict, const char* key, std::string_view bytes) {
  plist_dict_set_item(dict, key, plist_new_data(bytes.data(), bytes.size()));
}
void SetReal(plist_t dict, const char* key, double value) {
  plist_dict_set_item(dict, key, plist_new_real(value));
}
void SetNode(plist_t dict, const char* key, Plist value) {
  plist_dict_set_item(dict, key, value.release());
}

std::vector<std::string> DictKeys(plist_t dict) {
  std::vector<std::string> keys;
  if (!IsDict(dict)) return keys;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dict, &it);
  for (;;) {
    char* key = nullptr;
    plist_t val = nullptr;
    plist_dict_next_item(dict, it, &key, &val);
    if (!key) break;
    keys.emplace_back(key);
    free(key);
  }
  free(it);
  return keys;
}

void IndexDict(plist_t dict) {
  if (!IsDict(dict) || plist_dict_get_size(dict) < 2) return;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(dict, &it);
  char* key = nullptr;
  plist_t value = nullptr;
  plist_dict_next_item(dict, it, &key, &value);
  free(it);
  // Setting an entry of a dictionary without a table builds one over all its entries.
  if (key && value) plist_dict_set_item(dict, key, plist_copy(value));
  free(key);
}

}  // namespace devsim
