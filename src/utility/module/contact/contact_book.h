// The contacts and groups of one read, in the order they were parsed, and their JSON.
//
// A contact keeps its text, date and integer fields (dates as local time) in key order,
// and the child values (phone numbers, e-mail addresses ...) that name it, grouped by the
// child's entity name. A child is attached only to a contact parsed before it.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/plist_value.h"

using FieldList = std::vector<std::pair<std::string, std::string>>;

struct ContactChild {
  std::string id;
  FieldList fields;
};

struct ContactEntry {
  std::string id;
  FieldList fields;
  // Entity name → children, in the order the first child of each entity arrived.
  std::vector<std::pair<std::string, std::vector<ContactChild>>> children;
};

struct GroupField {
  std::string key;
  bool is_array = false;
  std::string text;
  std::vector<std::string> items;
};

struct GroupEntry {
  std::string id;
  std::vector<GroupField> fields;
};

class ContactBook {
 public:
  // Takes every contact, group and child record of one reply message.
  void AddReply(const PlistValue& message);

  const std::vector<ContactEntry>& contacts() const { return contacts_; }
  const std::vector<GroupEntry>& groups() const { return groups_; }

  // {"<id>": {...}, ...} for contacts [begin, end) and groups [begin, end).
  std::string ContactsJson(size_t begin, size_t end) const;
  std::string GroupsJson(size_t begin, size_t end) const;

 private:
  void AddContact(const std::string& id, const CIOSDictionary& record);
  void AddGroup(const std::string& id, const CIOSDictionary& record);
  void AddChild(const std::string& id, const std::string& entity, const CIOSDictionary& record);

  std::vector<ContactEntry> contacts_;
  std::unordered_map<std::string, size_t> contact_index_;
  std::vector<GroupEntry> groups_;
  std::unordered_map<std::string, size_t> group_index_;
};

inline constexpr const char* kContactEntity = "com.apple.contacts.Contact";
inline constexpr const char* kGroupEntity = "com.apple.contacts.Group";
