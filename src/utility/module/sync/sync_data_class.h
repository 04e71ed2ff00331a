// The data classes of the mobile sync service and the names every conversation uses.
#pragma once

#include <cstdint>

struct SyncDataClass {
  const char* name;            // "com.apple.Contacts"
  const char* anchor_name;     // "Contacts-Device-Anchor"
  int64_t version;             // the data-class version sent when opening
  const char* data_sync_key;   // key in the "com.apple.mobile.data_sync" domain
};

inline constexpr SyncDataClass kContactsClass{"com.apple.Contacts", "Contacts-Device-Anchor", 106,
                                              "Contacts"};
inline constexpr SyncDataClass kCalendarsClass{"com.apple.Calendars", "Calendars-Device-Anchor",
                                               110, "Calendars"};
// Bookmarks open with 102 for reading and pushing, 106 for deleting.
inline constexpr SyncDataClass kBookmarksClass{"com.apple.Bookmarks", "Bookmarks-Device-Anchor",
                                               102, "Bookmarks"};
inline constexpr SyncDataClass kBookmarksDeleteClass{"com.apple.Bookmarks",
                                                     "Bookmarks-Device-Anchor", 106, "Bookmarks"};
inline constexpr SyncDataClass kNotesClass{"com.apple.Notes", "Notes-Device-Anchor", 102, "Notes"};

inline constexpr const char* kMobileSyncServiceName = "com.apple.mobilesync";
inline constexpr const char* kEmptyParameter = "___EmptyParameterString___";
inline constexpr const char* kRecordEntityNameKey = "com.apple.syncservices.RecordEntityName";

// Message names the conversation waits for or recognises.
// The device-link version the computer answers the sync service with.
inline constexpr int64_t kSyncDeviceLinkVersion = 100;
inline constexpr const char* kMsgSyncWithComputer = "SDMessageSyncDataClassWithComputer";
inline constexpr const char* kMsgProcessChanges = "SDMessageProcessChanges";
inline constexpr const char* kMsgReadyToReceive = "SDMessageDeviceReadyToReceiveChanges";
inline constexpr const char* kMsgFinishedSession = "SDMessageDeviceFinishedSession";

// Result code when the sync service cannot be started.
inline constexpr int64_t kResultNoSyncService = 13;
