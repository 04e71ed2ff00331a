#include "utility/module/bookmark/bookmark_tree.h"

#include <algorithm>
#include <functional>
#include <set>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/text_convert.h"
#include "utility/module/sync/sync_data_class.h"

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

bool ByPosition(const BookmarkNode* a, const BookmarkNode* b) { return a->position < b->position; }

void Put(JsonWriter& writer, const char* key, const std::string& text) {
  writer.Key(key);
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

// Folders nest a few levels deep; a deeper chain comes from damaged or hostile records
// and is cut off rather than allowed to exhaust the stack.
constexpr size_t kMaxDepth = 256;

// A record may name itself or an ancestor as its parent; `path` stops such a cycle.
void WriteNode(JsonWriter& writer, const BookmarkNode& node, std::set<const BookmarkNode*>& path) {
  writer.StartObject();
  Put(writer, "id", node.id);
  Put(writer, "name", node.name);
  Put(writer, "url", node.url);
  Put(writer, "com_apple_syncservices_RecordEntityName", node.entity);
  writer.Key("position");
  writer.Int64(node.position);
  writer.Key("children");
  writer.StartArray();
  path.insert(&node);
  for (const BookmarkNode* child : node.children) {
    if (path.count(child) == 0 && path.size() < kMaxDepth) WriteNode(writer, *child, path);
  }
  path.erase(&node);
  writer.EndArray();
  writer.EndObject();
}

}  // namespace

BookmarkNode* BookmarkTree::Node(const std::string& id) {
  std::unique_ptr<BookmarkNode>& slot = nodes_[id];
  if (!slot) {
    slot = std::make_unique<BookmarkNode>();
    slot->id = id;
  }
  return slot.get();
}

void BookmarkTree::AddReply(const PlistValue& message) {
  if (message.tag() != kPlistArray || message.array().empty()) return;
  const CIOSDictionary* records = nullptr;
  for (const PlistValue& element : message.array()) {
    if ((records = element.dictionary()) != nullptr) break;
  }
  if (records == nullptr) return;
  for (const auto& [id, value] : records->items()) {
    const CIOSDictionary* record = value.dictionary();
    if (record == nullptr || record->Find(kRecordEntityNameKey) == nullptr) continue;
    BookmarkNode* node = Node(id);
    if (record->Find("parent") == nullptr) roots_.push_back(node);
    for (const auto& [key, field] : record->items()) {
      if (key == "parent" && field.tag() == kPlistArray) {
        for (const PlistValue& parent : field.array()) {
          if (parent.tag() != kPlistText) continue;
          std::string parent_id = Utf16ToUtf8(parent.text());
          node->parents.push_back(parent_id);
          Node(parent_id)->children.push_back(node);
        }
      } else if (key == "position" && (field.tag() == kPlistInt64 || field.tag() == kPlistInt32)) {
        node->position = field.tag() == kPlistInt64 ? field.int64() : field.int32();
      } else if (key == "name" && field.tag() == kPlistText) {
        node->name = Utf16ToUtf8(field.text());
      } else if (key == "url" && field.tag() == kPlistText) {
        node->url = Utf16ToUtf8(field.text());
      } else if (key == kRecordEntityNameKey && field.tag() == kPlistText) {
        node->entity = Utf16ToUtf8(field.text());
        if (node->entity == "com.apple.bookmarks.Bookmark") ++bookmark_count_;
      }
    }
  }
  std::sort(roots_.begin(), roots_.end(), ByPosition);
  for (auto& [id, node] : nodes_) {
    if (node->children.size() > 1) std::sort(node->children.begin(), node->children.end(), ByPosition);
  }
}

std::string BookmarkTree::NodeJson(const BookmarkNode& node) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  std::set<const BookmarkNode*> path;
  WriteNode(writer, node, path);
  return std::string(buffer.GetString(), buffer.GetSize());
}
