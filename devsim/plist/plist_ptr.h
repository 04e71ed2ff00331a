// Owning handle for libplist nodes and the small accessors every protocol layer needs.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

struct PlistDeleter {
  void operator()(void* node) const { plist_free(node); }
};
// Owns a root node; child nodes returned by accessors are borrowed from it.
using Plist = std::unique_ptr<void, PlistDeleter>;

// Parses XML or binary property-list bytes; null when the bytes are not a property list.
Plist ParsePlist(std::string_view bytes);
std::string ToXml(plist_t node);
std::string ToBinary(plist_t node);

Plist NewDict();
Plist NewArray();
Plist Copy(plist_t node);

// Typed lookups in a dictionary; empty when the key is absent or of another type.
plist_t DictItem(plist_t dict, const char* key);
std::optional<std::string> DictString(plist_t dict, const char* key);
std::optional<uint64_t> DictUint(plist_t dict, const char* key);
std::optional<bool> DictBool(plist_t dict, const char* key);
std::optional<std::string> DictData(plist_t dict, const char* key);

std::optional<std::string> StringValue(plist_t node);
std::optional<std::string> DataValue(plist_t node);

// Setters take ownership of nothing the caller keeps.
void SetString(plist_t dict, const char* key, std::string_view value);
void SetUint(plist_t dict, const char* key, uint64_t value);
void SetBool(plist_t dict, const char* key, bool value);
void SetData(plist_t dict, const char* key, std::string_view bytes);
void SetReal(plist_t dict, const char* key, double value);
void SetNode(plist_t dict, const char* key, Plist value);  // moves value into dict

std::vector<std::string> DictKeys(plist_t dict);
// Gives a big dictionary parsed from bytes the lookup table libplist otherwise builds only
// through plist_dict_set_item, so key lookups in it stop walking every entry.
void IndexDict(plist_t dict);
bool IsDict(plist_t node);

}  // namespace devsim
