#include "utility/module/media/book_list_edit.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>

namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistOwner = std::unique_ptr<void, PlistFree>;

// The list's root dictionary, or null when `list` is not a dictionary property list.
PlistOwner ParseBookList(const std::string& list) {
  if (list.empty() || list.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(list.data(), static_cast<uint32_t>(list.size()), &root);
  PlistOwner owner(root);
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  return owner;
}

std::optional<std::string> ToXml(plist_t root) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  if (xml == nullptr) return std::nullopt;
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

std::string TextOf(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::string();
  char* value = nullptr;
  plist_get_string_val(node, &value);
  std::string text = value ? value : "";
  std::free(value);
  return text;
}

constexpr std::streamoff kMaxBookListBytes = 16 << 20;

}  // namespace

std::optional<std::string> ReadBookListFile(const std::string& local_path) {
  std::ifstream file(local_path, std::ios::binary | std::ios::ate);
  if (!file) return std::nullopt;
  const std::streamoff size = file.tellg();
  if (size < 0 || size > kMaxBookListBytes) return std::nullopt;
  file.seekg(0);
  std::string bytes(static_cast<size_t>(size), '\0');
  if (size > 0 && !file.read(bytes.data(), size)) return std::nullopt;
  return bytes;
}

std::optional<std::string> AddBookToList(const std::string& list, const NewBookEntry& entry) {
  PlistOwner root = list.empty() ? PlistOwner(plist_new_dict()) : ParseBookList(list);
  if (!root) return std::nullopt;
  plist_t books = plist_dict_get_item(root.get(), "Books");
  if (books == nullptr) {
    books = plist_new_array();
    plist_dict_set_item(root.get(), "Books", books);
  } else if (plist_get_node_type(books) != PLIST_ARRAY) {
    return std::nullopt;
  }
  plist_t item = plist_new_dict();
  plist_dict_set_item(item, "Path", plist_new_string(entry.path.c_str()));
  plist_dict_set_item(item, "Name", plist_new_string(entry.name.c_str()));
  plist_dict_set_item(item, "Artist", plist_new_string(""));
  plist_dict_set_item(item, "Genre", plist_new_string(""));
  plist_dict_set_item(item, "Kind", plist_new_string(entry.kind.c_str()));
  plist_dict_set_item(item, "Persistent ID", plist_new_string(entry.persistent_id.c_str()));
  plist_array_append_item(books, item);
  return ToXml(root.get());
}

std::optional<std::string> RemoveBookFromList(const std::string& list, const std::string& path) {
  PlistOwner root = ParseBookList(list);
  if (!root) return std::nullopt;
  plist_t books = plist_dict_get_item(root.get(), "Books");
  if (books == nullptr || plist_get_node_type(books) != PLIST_ARRAY) return std::nullopt;
  bool removed = false;
  for (uint32_t i = plist_array_get_size(books); i > 0; --i) {
    plist_t item = plist_array_get_item(books, i - 1);
    if (plist_get_node_type(item) != PLIST_DICT) continue;
    if (TextOf(plist_dict_get_item(item, "Path")) == path) {
      plist_array_remove_item(books, i - 1);
      removed = true;
    }
  }
  if (!removed) return std::nullopt;
  return ToXml(root.get());
}
