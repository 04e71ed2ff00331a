// Bookmarks of one read, rebuilt from flat records (each naming its parent) into trees
// ordered by position. The map owns every node; children and roots are references into it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/plist_value.h"
#include "utility/module/sync/sync_collector.h"

struct BookmarkNode {
  std::string id;
  std::string name;
  std::string entity;
  std::vector<std::string> parents;
  int64_t position = 0;
  std::string url;
  std::vector<BookmarkNode*> children;
};

class BookmarkTree {
 public:
  // Takes every record of one reply, then orders roots and children by position.
  void AddReply(const PlistValue& message);

  const std::vector<BookmarkNode*>& roots() const { return roots_; }
  // Records whose entity is a bookmark (folders are not counted).
  int32_t bookmark_count() const { return bookmark_count_; }

  // The node with its whole subtree as JSON.
  static std::string NodeJson(const BookmarkNode& node);

 private:
  BookmarkNode* Node(const std::string& id);

  std::map<std::string, std::unique_ptr<BookmarkNode>> nodes_;
  std::vector<BookmarkNode*> roots_;
  int32_t bookmark_count_ = 0;
};

// Mode 0 parses the reply; modes 2 (push) and 3 (delete) only read it.
class BookmarkSyncContext : public SyncCollector {
 public:
  void OnReply(const PlistValue* message, int*, uint32_t*) override {
    if (mode == 0 && message != nullptr) tree.AddReply(*message);
  }
  BookmarkTree tree;
};
