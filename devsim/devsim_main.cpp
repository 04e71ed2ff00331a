// vado-devsim: builds device farms and controls a running vado-devsimd.
//   vado-devsim mkfarm DIR [options]
//   vado-devsim --socket PATH list | plug UDID | unplug UDID | trust UDID | deny UDID |
//                             lock UDID | unlock UDID | fault UDID NAME [ARG]
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "lockdown/control.h"
#include "farm/farm.h"
#include "farm/farm_builder.h"
#include "farm/memo_farm_builder.h"
#include "services/backup/backup_settings.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vado-devsim mkfarm DIR [--udid U] [--name N] [--product-version V]\n"
               "                   [--device-class C] [--product-type T] [--untrusted] [--locked]\n"
               "                   [--wifi] [--jailbroken] [--seed S] [--apps N]\n"
               "                   [--atc-answer AssetMetrics|Ping|IdleExit]\n"
               "                   [--backup-files N --backup-bytes SIZE[K|M|G]]\n"
               "                   [--contacts N] [--groups N] [--calendars N] [--events N]\n"
               "                   [--bookmarks N] [--notes N] [--icloud CLASS,...] [--sync-batch N]\n"
               "                   [--messages N] [--chats M] [--sms-schema current|older|madrid]\n"
               "                   [--backup-delay MS] [--data-free SIZE[K|M|G]]\n"
               "                   [--books N] [--ringtones N]\n"
               "                   [--songs N] [--movies N] [--tvshows N] [--music-videos N]\n"
               "                   [--playlists N] [--memos N] [--media-schema library|itdb]\n"
               "                   [--photos N] [--albums M] [--photo-schema ios5|ios6|ios14]\n"
               "       vado-devsim --socket PATH list | plug UDID | unplug UDID | trust UDID |\n"
               "                   deny UDID | lock UDID | unlock UDID | fault UDID NAME [ARG]\n"
               "faults: refuse-lockdown N, drop-service BYTES, cap-bandwidth BYTES_PER_S, clear,\n"
               "        backup-disconnect P, backup-drop P, backup-stall P,\n"
               "        backup-error P [CODE TEXT], backup-hostile 0 upload|move|remove:PATH,\n"
               "        sync-cut MESSAGES, sync-cancel MESSAGES, afc-unplug-write BYTES,\n"
               "        afc-unplug-read BYTES, afc-fail-write-block K, afc-fail-write BYTES,\n"
               "        afc-fail-read BYTES, service-stall BYTES [SERVICE] [SECONDS]\n");
  return 2;
}

// "1500", "64K", "10M", "1G" (binary units).
bool ParseSize(const std::string& s, uint64_t* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  uint64_t v = std::strtoull(s.c_str(), &end, 10);
  if (end == s.c_str()) return false;
  std::string unit(end);
  int shift = unit.empty() ? 0 : unit == "K" ? 10 : unit == "M" ? 20 : unit == "G" ? 30 : -1;
  if (shift < 0 || v > (UINT64_MAX >> shift)) return false;
  *out = v << shift;
  return true;
}

bool ParseCount(const std::string& text, uint64_t max, uint64_t* out) {
  char* end = nullptr;
  *out = std::strtoull(text.c_str(), &end, 10);
  return !text.empty() && text[0] != '-' && *end == '\0' && *out <= max;
}

// "Contacts,Notes" -> {"Contacts", "Notes"}; false for a name that is not a data class.
bool ParseClasses(const std::string& text, std::set<std::string>* out) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (name != "Contacts" && name != "Calendars" && name != "Bookmarks" && name != "Notes") return false;
    out->insert(name);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

int MkFarm(const std::vector<std::string>& args) {
  if (args.empty()) return Usage();
  devsim::DeviceSpec spec;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string seed;
    if (a == "--udid") {
      if (!value(&spec.udid)) return Usage();
    } else if (a == "--name") {
      if (!value(&spec.name)) return Usage();
    } else if (a == "--product-version") {
      if (!value(&spec.product_version)) return Usage();
    } else if (a == "--device-class") {
      if (!value(&spec.device_class)) return Usage();
    } else if (a == "--product-type") {
      if (!value(&spec.product_type)) return Usage();
    } else if (a == "--untrusted") {
      spec.untrusted = true;
    } else if (a == "--locked") {
      spec.locked = true;
    } else if (a == "--wifi") {
      spec.wifi = true;
    } else if (a == "--jailbroken") {
      spec.jailbroken = true;
    } else if (a == "--apps") {
      std::string n;
      if (!value(&n)) return Usage();
      char* end = nullptr;
      spec.apps = std::strtoull(n.c_str(), &end, 10);
      if (n.empty() || *end != '\0' || spec.apps > devsim::kMaxFarmApps) return Usage();
    } else if (a == "--atc-answer") {
      if (!value(&spec.atc_answer)) return Usage();
      if (spec.atc_answer != "AssetMetrics" && spec.atc_answer != "Ping" &&
          spec.atc_answer != "IdleExit") {
        return Usage();
      }
    } else if (a == "--backup-files" || a == "--backup-bytes") {
      std::string n;
      if (!value(&n)) return Usage();
      uint64_t v = 0;
      if (!ParseSize(n, &v)) return Usage();
      (a == "--backup-files" ? spec.backup_files : spec.backup_bytes) = v;
    } else if (a == "--contacts" || a == "--groups" || a == "--calendars" || a == "--events" ||
               a == "--bookmarks" || a == "--notes") {
      devsim::SyncContentSpec& c = spec.sync;
      uint64_t* target = a == "--contacts"    ? &c.contacts
                         : a == "--groups"    ? &c.groups
                         : a == "--calendars" ? &c.calendars
                         : a == "--events"    ? &c.events
                         : a == "--bookmarks" ? &c.bookmarks
                                              : &c.notes;
      std::string n;
      if (!value(&n) || !ParseCount(n, devsim::kMaxFarmSyncRecords, target)) return Usage();
    } else if (a == "--icloud") {
      std::string list;
      if (!value(&list) || !ParseClasses(list, &spec.icloud_classes)) return Usage();
    } else if (a == "--sync-batch") {
      std::string n;
      if (!value(&n) || !ParseCount(n, 1000000, &spec.sync_batch)) return Usage();
    } else if (a == "--messages" || a == "--chats" || a == "--backup-delay") {
      std::string n;
      const uint64_t max = a == "--messages" ? devsim::kMaxFarmMessages
                           : a == "--chats"  ? devsim::kMaxFarmChats
                                             : devsim::kMaxFileDelayMs;
      uint64_t* target = a == "--messages" ? &spec.sms.messages
                         : a == "--chats"  ? &spec.sms.chats
                                           : &spec.backup_file_delay_ms;
      if (!value(&n) || !ParseCount(n, max, target)) return Usage();
    } else if (a == "--data-free") {
      std::string n;
      uint64_t v = 0;
      if (!value(&n) || !ParseSize(n, &v)) return Usage();
      spec.data_free = v;
    } else if (a == "--books" || a == "--ringtones") {
      std::string n;
      const bool books = a == "--books";
      if (!value(&n) || !ParseCount(n, books ? devsim::kMaxFarmBooks : devsim::kMaxFarmRingtones,
                                    books ? &spec.books.books : &spec.books.ringtones)) {
        return Usage();
      }
    } else if (a == "--sms-schema") {
      std::string name;
      if (!value(&name) || !devsim::ParseSmsSchema(name, &spec.sms.schema)) return Usage();
    } else if (a == "--songs" || a == "--movies" || a == "--tvshows" ||
               a == "--music-videos" || a == "--playlists" || a == "--memos") {
      devsim::MediaContentSpec& m = spec.media;
      uint64_t* target = a == "--songs"     ? &m.songs
                         : a == "--movies"  ? &m.movies
                         : a == "--tvshows" ? &m.tvshows
                         : a == "--music-videos" ? &m.music_videos
                         : a == "--playlists"    ? &m.playlists
                                                 : &spec.memos;
      const uint64_t max = a == "--playlists" ? devsim::kMaxFarmPlaylists
                           : a == "--memos"   ? devsim::kMaxFarmMemos
                                              : devsim::kMaxFarmMediaItems;
      std::string n;
      if (!value(&n) || !ParseCount(n, max, target)) return Usage();
    } else if (a == "--media-schema") {
      std::string name;
      if (!value(&name) || !devsim::ParseMediaSchema(name, &spec.media.schema)) return Usage();
    } else if (a == "--photos" || a == "--albums") {
      std::string n;
      const bool photos = a == "--photos";
      if (!value(&n) ||
          !ParseCount(n, photos ? devsim::kMaxFarmPhotos : devsim::kMaxFarmAlbums,
                      photos ? &spec.photos.photos : &spec.photos.albums)) {
        return Usage();
      }
    } else if (a == "--photo-schema") {
      std::string name;
      if (!value(&name) || !devsim::ParsePhotoSchema(name, &spec.photos.schema)) return Usage();
    } else if (a == "--seed") {
      if (!value(&seed)) return Usage();
      char* end = nullptr;
      spec.seed = std::strtoull(seed.c_str(), &end, 10);
      if (*end != '\0') return Usage();
    } else {
      return Usage();
    }
  }
  devsim::Farm farm(args[0]);
  std::string error;
  if (!farm.Open(&error)) {
    std::fprintf(stderr, "vado-devsim: %s\n", error.c_str());
    return 1;
  }
  std::string udid = devsim::AddDevice(farm, spec, &error);
  if (udid.empty()) {
    std::fprintf(stderr, "vado-devsim: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", udid.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  if (args[0] == "mkfarm") return MkFarm({args.begin() + 1, args.end()});
  if (args[0] == "--socket" && args.size() >= 3) {
    return devsim::RunControlCommand(args[1], {args.begin() + 2, args.end()});
  }
  return Usage();
}
