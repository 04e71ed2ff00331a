// The contact conversations: read everything, add or edit one contact with its child
// values, delete a record, and write a group. Each runs on a started service connection
// and leaves sending to the module, which gets the results back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "utility/module/contact/contact_sync_context.h"
#include "utility/module/sync/sync_output.h"
#include "utility/module/sync/sync_session.h"

// Result codes of the contact operations beyond the shared ones.
enum ContactResult : int64_t {
  kContactGroupNotAssigned = 1,
  kContactNotAssigned = 28,
};

// Command ids of the module.
enum ContactCommand : uint32_t {
  kContactRead = 100,
  kContactGroupList = 101,
  kContactAddOrEdit = 102,
  kContactDelete = 103,
  kContactGroupCreate = 104,
  kContactDeleteAlias = 105,
  kContactGroupSet = 106,
};

inline constexpr size_t kContactsPerMessage = 100;

// Opens the class and pulls every batch into `context`.
void ReadContacts(SyncSession& session, ContactSyncContext& context);

// The count and record messages of a read: groups (command 101), then contacts (100).
// `kept_elsewhere`: the contacts live in an over-the-air account (count −1 when empty).
std::vector<SyncDataMessage> ContactReadMessages(const ContactBook& book, bool kept_elsewhere);

// The push texts of an add or edit, one per entity of kContactRemapEntities.
struct ContactPushPayload {
  std::array<std::optional<std::string>, kContactRemapEntities.size()> texts;
};
// Nothing when the contact's text is missing or any present text is not a property list.
std::optional<ContactPushPayload> ParseContactPushPayload(const rapidjson::Value& body);

// Pushes the contact, threads its device identifier through the child pushes and
// finishes. A remapping that maps nothing means the contact already existed (an edit):
// it keeps its identifier. 0, kContactNotAssigned (no remapping came back; finish is not
// sent) or kResultBadBody (a rewritten text could not be encoded; nothing more is sent).
int64_t AddOrEditContact(SyncSession& session, const ContactPushPayload& payload,
                         ContactSyncContext& context);

// {"com.apple.contacts.Contact": {...}, and each other entity with a non-empty table}.
std::string ContactRemapReplyJson(const ContactSyncContext& context);

// Deletes one record (contact or group). 0, or kResultBadBody when the identifier cannot
// be written into a message.
int64_t DeleteContactRecord(SyncSession& session, const std::string& record_id,
                            ContactSyncContext& context);

// A group write: record "Group/" + record_id with `name` (and `members` when given); the
// device identifier is looked up under "Group/" + lookup_id.
struct GroupWrite {
  std::string record_id;
  std::string lookup_id;
  std::string name;
  std::optional<std::vector<std::string>> members;
};
std::string GroupPushXml(const GroupWrite& write);
// 0, kContactGroupNotAssigned, or kResultBadBody.
int64_t WriteGroup(SyncSession& session, const GroupWrite& write, ContactSyncContext& context);
// {"<reply key>": ["<device group id>", "<name>"]}
std::string GroupReplyJson(const std::string& reply_key, const std::string& device_id,
                           const std::string& name);
