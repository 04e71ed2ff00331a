// Adds one device to a farm folder with realistic values (what `vado-devsim mkfarm` does).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "farm/book_farm_builder.h"
#include "farm/farm.h"
#include "farm/media_farm_builder.h"
#include "farm/photo_farm_builder.h"
#include "farm/sms_farm_builder.h"
#include "farm/sync_farm_builder.h"

namespace devsim {

struct DeviceSpec {
  std::string udid;             // generated from the seed when empty
  std::string name;             // "<owner>'s iPhone" style when empty
  std::string product_version = "17.5.1";
  std::string device_class;     // derived from the product type when empty
  std::string product_type;     // a modern model of the class when empty
  bool untrusted = false;       // no pairing with the farm's host yet
  bool locked = false;          // passcode-locked
  bool wifi = false;            // attached over the network
  bool jailbroken = false;      // offers com.apple.afc2 and a jailbreak file tree
  uint64_t seed = 1;
  uint64_t media_files = 6;     // sample files in the media partition
  uint64_t apps = 0;            // user applications (the system apps are always there)
  // Free bytes of the data partition (at most its capacity); a share of it when unset.
  // AFC writes use it up and fail with "no space left" past it.
  std::optional<uint64_t> data_free;
  // How AirTraffic answers a power assertion: "AssetMetrics" (default), "Ping", "IdleExit".
  std::string atc_answer = "AssetMetrics";
  // Generated backup content (backup.plist): this many files of this many bytes in total.
  uint64_t backup_files = 0;
  uint64_t backup_bytes = 0;
  // Pause after each data file the backup service uploads (milliseconds).
  uint64_t backup_file_delay_ms = 0;
  // The message database (Library/SMS/sms.db); none without messages.
  SmsContentSpec sms;
  // The media library with its files and playlists; none without items or playlists.
  MediaContentSpec media;
  // Voice memos in the Recordings folder.
  uint64_t memos = 0;
  // The photo library (Media/PhotoData/Photos.sqlite and DCIM); none without photos.
  PhotoContentSpec photos;
  // Books, ringtones and the compressed iTunes database in the media partition.
  BookContentSpec books;
  // Contacts, calendars, bookmarks and notes in the device's sync stores.
  SyncContentSpec sync;
  // Data-class keys ("Contacts", "Calendars", "Bookmarks", "Notes") an iCloud account owns:
  // the data_sync domain lists the account and mobilesync sends no records for them.
  std::set<std::string> icloud_classes;
  // Records per batch of a full mobilesync pull for every class; 0 keeps the device's
  // defaults (50 contacts or calendar records, bookmarks and notes in one batch).
  uint64_t sync_batch = 0;
};

// At most this many generated user applications per device.
constexpr uint64_t kMaxFarmApps = 5000;

// Creates FARM/devices/<udid>/ and, for a trusted device, the host's pair record. Returns
// the UDID, or an empty string with error set.
std::string AddDevice(Farm& farm, const DeviceSpec& wanted, std::string* error);

}  // namespace devsim
