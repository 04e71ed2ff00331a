// The collector of a contact conversation. Its mode says what the next reply is for:
//   0, 1   records of a read (1: a further batch; the exchange returns 1 when the reply
//          was a change batch, so the read acknowledges again)
//   2..9   the identifier remapping of one pushed entity (contacts, phone numbers ...)
//   10     a deletion answer, read and ignored
//   11     the answer to a group push: the device identifier under the group key
#pragma once

#include <array>
#include <map>
#include <string>

#include "utility/module/contact/contact_book.h"
#include "utility/module/sync/identifier_replace.h"
#include "utility/module/sync/sync_collector.h"

// Entities whose identifiers the device remaps when the front end pushes them, in push
// order; the collector mode of entity i is 2 + i.
inline constexpr std::array<const char*, 8> kContactRemapEntities = {
    "com.apple.contacts.Contact",        "com.apple.contacts.Phone Number",
    "com.apple.contacts.Email Address",  "com.apple.contacts.Street Address",
    "com.apple.contacts.URL",            "com.apple.contacts.Related Name",
    "com.apple.contacts.IM",             "com.apple.contacts.Date"};

enum ContactCollectorMode : int32_t {
  kContactFirstBatch = 0,
  kContactFurtherBatch = 1,
  kContactRemapFirst = 2,  // + index into kContactRemapEntities
  kContactDeleteAnswer = 10,
  kContactGroupAnswer = 11,
};


class ContactSyncContext : public SyncCollector {
 public:
  void OnReply(const PlistValue* message, int* read_another, uint32_t* result) override;

  ContactBook book;
  std::array<RemapTable, kContactRemapEntities.size()> remaps;
  std::string group_key;     // "Group/" + the identifier being written
  std::string group_result;  // the device identifier found for group_key
  // Whether the device answered a push with an identifier remapping (an answer that maps
  // nothing means it kept the pushed identifiers: the records already existed).
  bool remap_answered = false;
};
