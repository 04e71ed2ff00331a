// The four sync data classes the simulated device serves and how it cuts their records
// into SDMessageProcessChanges batches: a full pull sends entity after entity (contacts
// before their phone numbers, calendars before their events ...), so a host that links a
// child to an already-read parent sees every parent first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "farm/file_util.h"
#include "plist/plist_ptr.h"

namespace devsim {

enum class SyncClassId { kContacts, kCalendars, kBookmarks, kNotes };

struct SyncClassInfo {
  SyncClassId id;
  const char* name;             // "com.apple.Contacts"
  const char* key;              // "Contacts": key in the data_sync domain and in settings
  uint64_t device_version;      // the data-source version the device reports
  uint64_t min_host_version;    // hosts below it are refused as out of date
  size_t default_batch_size;    // records per batch of a full pull, 0 = all in one
  // Entity groups in the order a full pull sends them; each group starts a new batch.
  std::vector<std::vector<const char*>> groups;
  // Groups sent only when they hold records (the rest are sent even when empty).
  size_t always_sent_groups;
};

const std::vector<SyncClassInfo>& SyncClasses();
const SyncClassInfo* FindSyncClass(std::string_view name);
// The class's store file in a device's sync folder.
fs::path SyncStoreFile(const fs::path& sync_dir, const SyncClassInfo& cls);

// Entity names, spelled as the device sends them.
namespace entity {
constexpr const char* kContact = "com.apple.contacts.Contact";
constexpr const char* kGroup = "com.apple.contacts.Group";
constexpr const char* kEmail = "com.apple.contacts.Email Address";
constexpr const char* kPhone = "com.apple.contacts.Phone Number";
constexpr const char* kStreet = "com.apple.contacts.Street Address";
constexpr const char* kUrl = "com.apple.contacts.URL";
constexpr const char* kRelated = "com.apple.contacts.Related Name";
constexpr const char* kIm = "com.apple.contacts.IM";
constexpr const char* kDate = "com.apple.contacts.Date";
constexpr const char* kCalendar = "com.apple.calendars.Calendar";
constexpr const char* kEvent = "com.apple.calendars.Event";
constexpr const char* kOrganizer = "com.apple.calendars.Organizer";
constexpr const char* kDisplayAlarm = "com.apple.calendars.DisplayAlarm";
constexpr const char* kAudioAlarm = "com.apple.calendars.AudioAlarm";
constexpr const char* kRecurrence = "com.apple.calendars.Recurrence";
constexpr const char* kAttendee = "com.apple.calendars.Attendee";
constexpr const char* kFolder = "com.apple.bookmarks.Folder";
constexpr const char* kBookmark = "com.apple.bookmarks.Bookmark";
constexpr const char* kNote = "com.apple.notes.Note";
}  // namespace entity

// The AddressBook property number of a contact child entity ("3" for phone numbers), which
// starts the child's identifier "<property>/<person>/<value>"; empty for other entities.
std::string ContactPropertyNumber(std::string_view entity_name);

struct SyncBatch {
  Plist records;  // dictionary id -> record, or the empty-parameter string
  std::vector<std::string> entities;
};

// A full pull: the class's entity groups in order, each cut into batches of at most
// `batch_size` records (0: no limit) and about 4 MB. Records of entities the class does not
// list come last. Never empty.
std::vector<SyncBatch> PlanFullPull(const SyncClassInfo& cls, plist_t records, size_t batch_size);

// A changes pull of the records named in `pending` (id -> entity; an id without a record is
// sent as a deletion): contacts in exactly two batches (changed contacts, then everything
// else), the other classes in exactly one.
std::vector<SyncBatch> PlanChangesPull(const SyncClassInfo& cls, plist_t records,
                                       const std::map<std::string, std::string>& pending);

// ["SDMessageProcessChanges", class, records, more, actions]
Plist ProcessChangesMessage(const SyncClassInfo& cls, const SyncBatch& batch, bool more,
                            bool full_pull);

}  // namespace devsim
