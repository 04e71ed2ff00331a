#include "farm/media_farm_builder.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

#include "farm/farm_sqlite.h"

namespace devsim {

namespace media_farm {

// The media library as firmware 5 and later keep it; every column a reader selects without
// a table name exists in exactly one of the joined tables.
constexpr char kLibraryTables[] =
    "CREATE TABLE item (item_pid INTEGER PRIMARY KEY, media_type INTEGER NOT NULL DEFAULT 0,"
    " title_order INTEGER NOT NULL DEFAULT 0, item_artist_pid INTEGER NOT NULL DEFAULT 0,"
    " album_pid INTEGER NOT NULL DEFAULT 0, album_artist_pid INTEGER NOT NULL DEFAULT 0,"
    " composer_pid INTEGER NOT NULL DEFAULT 0, genre_id INTEGER NOT NULL DEFAULT 0,"
    " disc_number INTEGER NOT NULL DEFAULT 0, track_number INTEGER NOT NULL DEFAULT 0,"
    " base_location_id INTEGER NOT NULL DEFAULT 0, remote_location_id INTEGER NOT NULL DEFAULT 0,"
    " exclude_from_shuffle INTEGER NOT NULL DEFAULT 0, in_my_library INTEGER NOT NULL DEFAULT 0,"
    " is_compilation INTEGER NOT NULL DEFAULT 0, date_added INTEGER NOT NULL DEFAULT 0,"
    " date_downloaded INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE item_extra (item_pid INTEGER PRIMARY KEY, title TEXT NOT NULL DEFAULT '',"
    " sort_title TEXT, disc_count INTEGER NOT NULL DEFAULT 0, track_count INTEGER NOT NULL DEFAULT 0,"
    " total_time_ms REAL NOT NULL DEFAULT 0, year INTEGER NOT NULL DEFAULT 0,"
    " location TEXT NOT NULL DEFAULT '', file_size INTEGER NOT NULL DEFAULT 0, integrity BLOB,"
    " date_modified INTEGER NOT NULL DEFAULT 0, media_kind INTEGER NOT NULL DEFAULT 0,"
    " content_rating INTEGER NOT NULL DEFAULT 0, bpm INTEGER NOT NULL DEFAULT 0, comment TEXT,"
    " grouping TEXT, description TEXT, description_long TEXT, collection_description TEXT,"
    " copyright TEXT, category_id INTEGER NOT NULL DEFAULT 0,"
    " location_kind_id INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE album (album_pid INTEGER PRIMARY KEY, album TEXT NOT NULL DEFAULT '',"
    " sort_album TEXT, album_artist_pid INTEGER NOT NULL DEFAULT 0,"
    " representative_item_pid INTEGER NOT NULL DEFAULT 0, album_year INTEGER NOT NULL DEFAULT 0,"
    " season_number INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE item_artist (item_artist_pid INTEGER PRIMARY KEY,"
    " item_artist TEXT NOT NULL DEFAULT '', sort_item_artist TEXT,"
    " series_name TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE genre (genre_id INTEGER PRIMARY KEY, genre TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE base_location (base_location_id INTEGER PRIMARY KEY, path TEXT NOT NULL);"
    "CREATE TABLE db_info (db_pid INTEGER PRIMARY KEY, primary_container_pid INTEGER,"
    " media_folder_url TEXT, audio_language INTEGER, subtitle_language INTEGER,"
    " genius_cuid TEXT, bib BLOB, rib BLOB);";

constexpr char kCurrentContainers[] =
    "CREATE TABLE container (container_pid INTEGER PRIMARY KEY,"
    " distinguished_kind INTEGER NOT NULL DEFAULT 0, date_created INTEGER NOT NULL DEFAULT 0,"
    " date_modified INTEGER NOT NULL DEFAULT 0, name TEXT NOT NULL DEFAULT '',"
    " parent_pid INTEGER NOT NULL DEFAULT 0, contained_media_type INTEGER NOT NULL DEFAULT 0,"
    " is_hidden INTEGER NOT NULL DEFAULT 0, smart_is_folder INTEGER NOT NULL DEFAULT 0,"
    " description TEXT);"
    "CREATE TABLE container_item (container_item_pid INTEGER PRIMARY KEY,"
    " container_pid INTEGER NOT NULL DEFAULT 0, item_pid INTEGER NOT NULL DEFAULT 0,"
    " position INTEGER NOT NULL DEFAULT 0, uuid TEXT NOT NULL DEFAULT '');";

constexpr char kBlobContainers[] =
    "CREATE TABLE container (container_pid INTEGER PRIMARY KEY,"
    " distinguished_kind INTEGER NOT NULL DEFAULT 0, name TEXT NOT NULL DEFAULT '',"
    " parent_pid INTEGER NOT NULL DEFAULT 0, media_kinds INTEGER NOT NULL DEFAULT 0,"
    " is_hidden INTEGER NOT NULL DEFAULT 0, smart_is_folder INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE container_items (container_pid INTEGER PRIMARY KEY, item_pid_data BLOB);";

// The older library's tables (with the copyright column its item statement reads).
constexpr char kItdbTables[] =
    "CREATE TABLE db_info (pid INTEGER NOT NULL, primary_container_pid INTEGER,"
    " media_folder_url TEXT, audio_language INTEGER, subtitle_language INTEGER,"
    " genius_cuid TEXT, bib BLOB, rib BLOB, PRIMARY KEY (pid));"
    "CREATE TABLE item (pid INTEGER NOT NULL, revision_level INTEGER, media_kind INTEGER DEFAULT 0,"
    " is_song INTEGER DEFAULT 0, is_audio_book INTEGER DEFAULT 0, is_music_video INTEGER DEFAULT 0,"
    " is_movie INTEGER DEFAULT 0, is_tv_show INTEGER DEFAULT 0, is_ringtone INTEGER DEFAULT 0,"
    " is_voice_memo INTEGER DEFAULT 0, is_rental INTEGER DEFAULT 0, is_podcast INTEGER DEFAULT 0,"
    " date_modified INTEGER DEFAULT 0, date_backed_up INTEGER DEFAULT 0, year INTEGER DEFAULT 0,"
    " total_time_ms REAL DEFAULT 0, track_number INTEGER DEFAULT 0, genre_id INTEGER DEFAULT 0,"
    " album_pid INTEGER DEFAULT 0, artist_pid INTEGER DEFAULT 0, composer_pid INTEGER DEFAULT 0,"
    " title TEXT, artist TEXT, album TEXT, album_artist TEXT, composer TEXT, sort_title TEXT,"
    " comment TEXT, grouping TEXT, description TEXT, description_long TEXT, copyright TEXT,"
    " PRIMARY KEY (pid));"
    "CREATE TABLE container (pid INTEGER NOT NULL, distinguished_kind INTEGER,"
    " date_created INTEGER, date_modified INTEGER, name TEXT, name_order INTEGER,"
    " parent_pid INTEGER, media_kinds INTEGER, workout_template_id INTEGER, is_hidden INTEGER,"
    " smart_is_folder INTEGER, description TEXT, PRIMARY KEY (pid));"
    "CREATE TABLE item_to_container (item_pid INTEGER, container_pid INTEGER,"
    " physical_order INTEGER, shuffle_order INTEGER);"
    "CREATE TABLE genre_map (id INTEGER NOT NULL, genre TEXT NOT NULL,"
    " genre_order INTEGER DEFAULT 0, PRIMARY KEY (id), UNIQUE (genre));";

constexpr char kLocationTables[] =
    "CREATE TABLE location (item_pid INTEGER NOT NULL, sub_id INTEGER NOT NULL DEFAULT 0,"
    " base_location_id INTEGER DEFAULT 0, location_type INTEGER, location TEXT,"
    " extension INTEGER, kind_id INTEGER DEFAULT 0, date_created INTEGER DEFAULT 0,"
    " file_size INTEGER DEFAULT 0, file_creator INTEGER, file_type INTEGER,"
    " num_dir_levels_file INTEGER, num_dir_levels_lib INTEGER, PRIMARY KEY (item_pid, sub_id));"
    "CREATE TABLE base_location (id INTEGER NOT NULL, path TEXT, PRIMARY KEY (id));";

constexpr int kMusicFolders = 50;

const char* const kArtists[] = {"The Weekend Drivers", "Ana Lu\xC3\xADsa", "Kaito Mori",
                                "\xD0\x9C\xD0\xB0\xD1\x80\xD0\xB8\xD1\x8F", "Small Harbour",
                                "Dj O'Neil"};
const char* const kAlbums[] = {"Night Lines", "Caf\xC3\xA9 Sessions", "Tokyo Rain",
                               "Live at the Hall", "Season One", "Soundtrack"};
const char* const kGenres[] = {"Pop", "Rock", "Jazz", "Electronic", "Drama", "Comedy"};
constexpr int kNameCount = 6;

enum class ItemRole { kListed, kZeroTime, kNoLocation, kNoExtension, kMissingFile, kDropped };

struct Item {
  int64_t pid = 0;
  int64_t kind = 1;
  std::string title;
  int name_index = 0;  // artist, album and genre
  double total_ms = 0;
  int year = 0;
  int64_t date_modified = 0;
  int folder = 0;
  std::string location;  // file name in the folder
  std::string bytes;     // file content; none for a missing file
  ItemRole role = ItemRole::kListed;
};

struct Playlist {
  int64_t pid = 0;
  std::string name;
  int64_t parent = 0;
  bool smart_folder = false;
  bool hidden = false;
  std::vector<int64_t> members;
};

int64_t NewPid(std::mt19937_64& rng, std::set<int64_t>* used) {
  for (;;) {
    const int64_t pid = static_cast<int64_t>(rng() >> 2) + 1;
    if (used->insert(pid).second) return pid;
  }
}

std::string FileName(std::mt19937_64& rng, std::set<std::string>* used, const char* extension) {
  for (;;) {
    std::string name;
    for (int i = 0; i < 4; ++i) name += static_cast<char>('A' + rng() % 26);
    if (used->insert(name).second) return name + extension;
  }
}

std::string FileBytes(std::mt19937_64& rng, bool video) {
  std::string bytes = video ? std::string("\0\0\0\x20" "ftypM4V ", 12) : std::string("ID3\x04", 4);
  const size_t length = 200 + rng() % 800;
  while (bytes.size() < length) bytes += static_cast<char>(rng() & 0xFF);
  return bytes;
}

const char* Extension(int64_t kind, uint64_t i) {
  if (kind == 1 || kind == 8) return i % 2 ? ".m4a" : ".mp3";
  return i % 2 ? ".mp4" : ".m4v";
}

std::vector<Item> PlanItems(const MediaContentSpec& content, bool itdb, std::mt19937_64& rng) {
  std::vector<Item> items;
  std::set<int64_t> pids;
  std::set<std::string> names;
  auto add = [&](int64_t kind, const char* label, uint64_t i, ItemRole role) {
    Item item;
    item.pid = NewPid(rng, &pids);
    item.kind = kind;
    char title[96];
    std::snprintf(title, sizeof title, "%s %05llu", label, static_cast<unsigned long long>(i + 1));
    item.title = title;
    if (i % 7 == 3) item.title = "\xC3\x89t\xC3\xA9 " + item.title;  // sorts apart from "E"
    item.name_index = static_cast<int>(i % kNameCount);
    item.total_ms = kind == 1 || kind == 8 ? 90'000 + static_cast<double>(rng() % 300'000)
                                           : 1'200'000 + static_cast<double>(rng() % 6'000'000);
    item.year = 1990 + static_cast<int>(rng() % 35);
    item.date_modified = 400'000'000 + static_cast<int64_t>(rng() % 300'000'000);
    item.folder = static_cast<int>(rng() % kMusicFolders);
    item.location = FileName(rng, &names, Extension(kind, i));
    item.bytes = FileBytes(rng, kind != 1 && kind != 8);
    item.role = role;
    switch (role) {
      case ItemRole::kZeroTime: item.total_ms = 0; break;
      case ItemRole::kNoLocation: item.location.clear(); item.bytes.clear(); break;
      case ItemRole::kNoExtension: item.location = item.location.substr(0, 4); break;
      case ItemRole::kMissingFile: item.bytes.clear(); break;
      default: break;
    }
    items.push_back(std::move(item));
  };
  for (uint64_t i = 0; i < content.songs; ++i) {
    add(!itdb && i % 10 == 9 ? 8 : 1, "Song", i, ItemRole::kListed);
  }
  for (uint64_t i = 0; i < content.movies; ++i) add(2, "Movie", i, ItemRole::kListed);
  for (uint64_t i = 0; i < content.tvshows; ++i) add(64, "Episode", i, ItemRole::kListed);
  for (uint64_t i = 0; i < content.music_videos; ++i) add(33, "Video", i, ItemRole::kListed);
  add(1, "Silent", 0, ItemRole::kZeroTime);
  add(1, "Cloud Only", 0, ItemRole::kNoLocation);
  add(1, "Bare Name", 0, ItemRole::kNoExtension);
  add(1, "Deleted", 0, ItemRole::kMissingFile);
  if (itdb) add(8, "Audiobook", 0, ItemRole::kDropped);
  return items;
}

// The first playlist is a smart folder holding the fourth, the second is hidden, the third
// has no items; the others hold a run of 3 to 13 items. The smart folder holds exactly
// three, so that its pid blob is 24 bytes.
std::vector<Playlist> PlanPlaylists(const MediaContentSpec& content,
                                    const std::vector<Item>& items, std::mt19937_64& rng) {
  std::vector<Playlist> lists;
  std::set<int64_t> pids;
  for (const Item& item : items) pids.insert(item.pid);
  for (uint64_t i = 0; i < content.playlists; ++i) {
    Playlist list;
    list.pid = NewPid(rng, &pids);
    char name[64];
    std::snprintf(name, sizeof name, "Playlist %llu", static_cast<unsigned long long>(i + 1));
    list.name = i == 0 ? "Smart Folder" : i == 1 ? "Hidden Purchases" : i == 2 ? "Empty List"
                                                                              : name;
    list.smart_folder = i == 0;
    list.hidden = i == 1;
    if (i == 3) list.parent = lists[0].pid;
    const size_t count = i == 2 ? 0 : i == 0 ? 3 : 3 + (i * 5) % 11;
    const size_t take = std::min(count, items.size());
    const size_t start = items.empty() ? 0 : (i * 13) % items.size();
    for (size_t k = 0; k < take; ++k) list.members.push_back(items[(start + k) % items.size()].pid);
    lists.push_back(std::move(list));
  }
  return lists;
}

bool WriteFiles(const fs::path& media, const std::vector<Item>& items, std::string* error) {
  char folder[32];
  for (int f = 0; f < kMusicFolders; ++f) {
    std::snprintf(folder, sizeof folder, "iTunes_Control/Music/F%02d", f);
    std::error_code ec;
    fs::create_directories(media / folder, ec);
  }
  for (const Item& item : items) {
    if (item.bytes.empty() || item.location.empty()) continue;
    std::snprintf(folder, sizeof folder, "iTunes_Control/Music/F%02d", item.folder);
    if (!WriteFileAtomic(media / folder / item.location, item.bytes)) {
      *error = "media library: cannot write " + item.location;
      return false;
    }
  }
  return true;
}

std::string FolderPath(int folder) {
  char path[40];
  std::snprintf(path, sizeof path, "iTunes_Control/Music/F%02d", folder);
  return path;
}

std::string PidBlob(const std::vector<int64_t>& pids) {
  std::string blob;
  for (int64_t pid : pids) {
    for (int b = 0; b < 8; ++b) blob += static_cast<char>((static_cast<uint64_t>(pid) >> (8 * b)) & 0xFF);
  }
  return blob;
}

bool WriteLibrary(const fs::path& file, const MediaContentSpec& content,
                  const std::vector<Item>& items, const std::vector<Playlist>& lists,
                  int64_t library_pid, std::string* error) {
  FarmDb db;
  if (!FarmCreateDb(file, &db, error)) return false;
  if (!FarmExec(db.handle, "BEGIN", error) || !FarmExec(db.handle, kLibraryTables, error) ||
      !FarmExec(db.handle, content.playlist_blobs ? kBlobContainers : kCurrentContainers, error)) {
    return false;
  }
  const char* const name_sql[] = {"INSERT INTO item_artist (item_artist_pid, item_artist) VALUES (?, ?)",
                                   "INSERT INTO album (album_pid, album) VALUES (?, ?)",
                                   "INSERT INTO genre (genre_id, genre) VALUES (?, ?)"};
  const char* const* name_lists[] = {kArtists, kAlbums, kGenres};
  for (int t = 0; t < 3; ++t) {
    FarmStmt names;
    if (!FarmPrepare(db.handle, name_sql[t], &names, error)) return false;
    for (int i = 0; i < kNameCount; ++i) {
      sqlite3_bind_int(names.handle, 1, i + 1);
      FarmBindText(names.handle, 2, name_lists[t][i]);
      if (!FarmStepDone(db.handle, names.handle, error)) return false;
    }
  }
  for (int f = 0; f < kMusicFolders; ++f) {
    FarmStmt base;
    if (!FarmPrepare(db.handle, "INSERT INTO base_location VALUES (?, ?)", &base, error)) return false;
    sqlite3_bind_int(base.handle, 1, f + 1);
    FarmBindText(base.handle, 2, FolderPath(f));
    if (!FarmStepDone(db.handle, base.handle, error)) return false;
  }
  FarmStmt item, extra;
  if (!FarmPrepare(db.handle,
               "INSERT INTO item (item_pid, media_type, item_artist_pid, album_pid, genre_id,"
               " base_location_id) VALUES (?, ?, ?, ?, ?, ?)", &item, error) ||
      !FarmPrepare(db.handle,
               "INSERT INTO item_extra (item_pid, title, total_time_ms, year, location, file_size,"
               " date_modified, media_kind, comment, description_long, copyright)"
               " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", &extra, error)) {
    return false;
  }
  for (const Item& it : items) {
    sqlite3_bind_int64(item.handle, 1, it.pid);
    sqlite3_bind_int64(item.handle, 2, it.kind);
    sqlite3_bind_int(item.handle, 3, it.name_index + 1);
    sqlite3_bind_int(item.handle, 4, it.name_index + 1);
    sqlite3_bind_int(item.handle, 5, it.name_index + 1);
    sqlite3_bind_int(item.handle, 6, it.folder + 1);
    if (!FarmStepDone(db.handle, item.handle, error)) return false;
    sqlite3_bind_int64(extra.handle, 1, it.pid);
    FarmBindText(extra.handle, 2, it.title);
    sqlite3_bind_double(extra.handle, 3, it.total_ms);
    sqlite3_bind_int(extra.handle, 4, it.year);
    FarmBindText(extra.handle, 5, it.location);
    sqlite3_bind_int64(extra.handle, 6, static_cast<int64_t>(it.bytes.size()));
    sqlite3_bind_int64(extra.handle, 7, it.date_modified);
    sqlite3_bind_int64(extra.handle, 8, it.kind);
    FarmBindText(extra.handle, 9, "Added on the simulated device");
    FarmBindText(extra.handle, 10, it.kind == 1 || it.kind == 8 ? "" : "A story told in " + it.title);
    FarmBindText(extra.handle, 11, "\xC2\xA9 " + std::to_string(it.year) + " Sim Records");
    if (!FarmStepDone(db.handle, extra.handle, error)) return false;
  }
  FarmStmt info, container, member;
  if (!FarmPrepare(db.handle, "INSERT INTO db_info (db_pid, primary_container_pid) VALUES (1, ?)",
               &info, error)) {
    return false;
  }
  sqlite3_bind_int64(info.handle, 1, library_pid);
  if (!FarmStepDone(db.handle, info.handle, error)) return false;
  const char* container_sql =
      content.playlist_blobs
          ? "INSERT INTO container (container_pid, name, parent_pid, media_kinds, is_hidden,"
            " smart_is_folder) VALUES (?, ?, ?, ?, ?, ?)"
          : "INSERT INTO container (container_pid, name, parent_pid, contained_media_type,"
            " is_hidden, smart_is_folder) VALUES (?, ?, ?, ?, ?, ?)";
  const char* member_sql =
      content.playlist_blobs
          ? "INSERT INTO container_items (container_pid, item_pid_data) VALUES (?, ?)"
          : "INSERT INTO container_item (container_pid, item_pid, position) VALUES (?, ?, ?)";
  if (!FarmPrepare(db.handle, container_sql, &container, error) ||
      !FarmPrepare(db.handle, member_sql, &member, error)) {
    return false;
  }
  auto add_container = [&](int64_t pid, const std::string& name, int64_t parent, bool hidden,
                           bool folder) {
    sqlite3_bind_int64(container.handle, 1, pid);
    FarmBindText(container.handle, 2, name);
    sqlite3_bind_int64(container.handle, 3, parent);
    sqlite3_bind_int(container.handle, 4, 8);
    sqlite3_bind_int(container.handle, 5, hidden ? 1 : 0);
    sqlite3_bind_int(container.handle, 6, folder ? 1 : 0);
    return FarmStepDone(db.handle, container.handle, error);
  };
  if (!add_container(library_pid, "Library", 0, false, false)) return false;
  for (const Playlist& list : lists) {
    if (!add_container(list.pid, list.name, list.parent, list.hidden, list.smart_folder)) {
      return false;
    }
    if (content.playlist_blobs) {
      const std::string blob = PidBlob(list.members);
      sqlite3_bind_int64(member.handle, 1, list.pid);
      sqlite3_bind_blob(member.handle, 2, blob.data(), static_cast<int>(blob.size()),
                        SQLITE_TRANSIENT);
      if (!FarmStepDone(db.handle, member.handle, error)) return false;
      continue;
    }
    for (size_t k = 0; k < list.members.size(); ++k) {
      sqlite3_bind_int64(member.handle, 1, list.pid);
      sqlite3_bind_int64(member.handle, 2, list.members[k]);
      sqlite3_bind_int64(member.handle, 3, static_cast<int64_t>(k));
      if (!FarmStepDone(db.handle, member.handle, error)) return false;
    }
  }
  return FarmExec(db.handle, "COMMIT", error);
}

bool WriteItdb(const fs::path& folder, const std::vector<Item>& items,
               const std::vector<Playlist>& lists, int64_t library_pid, std::string* error) {
  FarmDb library, locations;
  if (!FarmCreateDb(folder / "Library.itdb", &library, error) ||
      !FarmCreateDb(folder / "Locations.itdb", &locations, error)) {
    return false;
  }
  if (!FarmExec(library.handle, "BEGIN", error) || !FarmExec(library.handle, kItdbTables, error) ||
      !FarmExec(locations.handle, "BEGIN", error) || !FarmExec(locations.handle, kLocationTables, error)) {
    return false;
  }
  FarmStmt genre, base;
  if (!FarmPrepare(library.handle, "INSERT INTO genre_map (id, genre) VALUES (?, ?)", &genre, error) ||
      !FarmPrepare(locations.handle, "INSERT INTO base_location VALUES (?, ?)", &base, error)) {
    return false;
  }
  for (int i = 0; i < kNameCount; ++i) {
    sqlite3_bind_int(genre.handle, 1, i + 1);
    FarmBindText(genre.handle, 2, kGenres[i]);
    if (!FarmStepDone(library.handle, genre.handle, error)) return false;
  }
  for (int f = 0; f < kMusicFolders; ++f) {
    sqlite3_bind_int(base.handle, 1, f + 1);
    FarmBindText(base.handle, 2, FolderPath(f));
    if (!FarmStepDone(locations.handle, base.handle, error)) return false;
  }
  FarmStmt item, location;
  if (!FarmPrepare(library.handle,
               "INSERT INTO item (pid, media_kind, date_modified, year, total_time_ms, genre_id,"
               " title, artist, album, comment, description_long, copyright)"
               " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", &item, error) ||
      !FarmPrepare(locations.handle,
               "INSERT INTO location (item_pid, base_location_id, location, file_size)"
               " VALUES (?, ?, ?, ?)", &location, error)) {
    return false;
  }
  for (const Item& it : items) {
    sqlite3_bind_int64(item.handle, 1, it.pid);
    sqlite3_bind_int64(item.handle, 2, it.kind);
    sqlite3_bind_int64(item.handle, 3, it.date_modified);
    sqlite3_bind_int(item.handle, 4, it.year);
    sqlite3_bind_double(item.handle, 5, it.total_ms);
    sqlite3_bind_int(item.handle, 6, it.name_index + 1);
    FarmBindText(item.handle, 7, it.title);
    FarmBindText(item.handle, 8, kArtists[it.name_index]);
    FarmBindText(item.handle, 9, kAlbums[it.name_index]);
    FarmBindText(item.handle, 10, "Added on the simulated device");
    FarmBindText(item.handle, 11, "");
    FarmBindText(item.handle, 12, "\xC2\xA9 " + std::to_string(it.year) + " Sim Records");
    if (!FarmStepDone(library.handle, item.handle, error)) return false;
    // An item without a location has no row here at all.
    if (it.role == ItemRole::kNoLocation) continue;
    sqlite3_bind_int64(location.handle, 1, it.pid);
    sqlite3_bind_int(location.handle, 2, it.folder + 1);
    FarmBindText(location.handle, 3, it.location);
    sqlite3_bind_int64(location.handle, 4, static_cast<int64_t>(it.bytes.size()));
    if (!FarmStepDone(locations.handle, location.handle, error)) return false;
  }
  FarmStmt info, container, member;
  if (!FarmPrepare(library.handle, "INSERT INTO db_info (pid, primary_container_pid) VALUES (1, ?)",
               &info, error) ||
      !FarmPrepare(library.handle,
               "INSERT INTO container (pid, name, parent_pid, media_kinds, is_hidden,"
               " smart_is_folder) VALUES (?, ?, ?, 1, ?, ?)", &container, error) ||
      !FarmPrepare(library.handle,
               "INSERT INTO item_to_container (item_pid, container_pid, physical_order)"
               " VALUES (?, ?, ?)", &member, error)) {
    return false;
  }
  sqlite3_bind_int64(info.handle, 1, library_pid);
  if (!FarmStepDone(library.handle, info.handle, error)) return false;
  auto add_container = [&](int64_t pid, const std::string& name, int64_t parent, bool hidden,
                           bool folder) {
    sqlite3_bind_int64(container.handle, 1, pid);
    FarmBindText(container.handle, 2, name);
    sqlite3_bind_int64(container.handle, 3, parent);
    sqlite3_bind_int(container.handle, 4, hidden ? 1 : 0);
    sqlite3_bind_int(container.handle, 5, folder ? 1 : 0);
    return FarmStepDone(library.handle, container.handle, error);
  };
  if (!add_container(library_pid, "Library", 0, false, false)) return false;
  for (const Playlist& list : lists) {
    if (!add_container(list.pid, list.name, list.parent, list.hidden, list.smart_folder)) {
      return false;
    }
    for (size_t k = 0; k < list.members.size(); ++k) {
      sqlite3_bind_int64(member.handle, 1, list.members[k]);
      sqlite3_bind_int64(member.handle, 2, list.pid);
      sqlite3_bind_int64(member.handle, 3, static_cast<int64_t>(k));
      if (!FarmStepDone(library.handle, member.handle, error)) return false;
    }
  }
  return FarmExec(library.handle, "COMMIT", error) && FarmExec(locations.handle, "COMMIT", error);
}

}  // namespace media_farm

bool ParseMediaSchema(const std::string& text, MediaSchema* out) {
  if (text == "library") {
    *out = MediaSchema::kLibrary;
  } else if (text == "itdb") {
    *out = MediaSchema::kItdb;
  } else {
    return false;
  }
  return true;
}

bool HasMediaContent(const MediaContentSpec& content) {
  return content.songs + content.movies + content.tvshows + content.music_videos +
             content.playlists > 0;
}

bool WriteMediaLibrary(const fs::path& fsroot, const std::string& product_version,
                       const MediaContentSpec& wanted, uint64_t seed, std::string* error) {
  if (!HasMediaContent(wanted)) return true;
  MediaContentSpec content = wanted;
  content.songs = std::min(content.songs, kMaxFarmMediaItems);
  content.movies = std::min(content.movies, kMaxFarmMediaItems);
  content.tvshows = std::min(content.tvshows, kMaxFarmMediaItems);
  content.music_videos = std::min(content.music_videos, kMaxFarmMediaItems);
  content.playlists = std::min(content.playlists, kMaxFarmPlaylists);
  const bool itdb = content.schema == MediaSchema::kItdb ||
                    (content.schema == MediaSchema::kByFirmware &&
                     std::atoi(product_version.c_str()) < 5);
  std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + 0x6D656469);
  const std::vector<media_farm::Item> items = media_farm::PlanItems(content, itdb, rng);
  const std::vector<media_farm::Playlist> lists = media_farm::PlanPlaylists(content, items, rng);
  std::set<int64_t> taken;
  for (const media_farm::Item& item : items) taken.insert(item.pid);
  for (const media_farm::Playlist& list : lists) taken.insert(list.pid);
  const int64_t library_pid = media_farm::NewPid(rng, &taken);
  const fs::path media = fsroot / "private/var/mobile/Media";
  if (!media_farm::WriteFiles(media, items, error)) return false;
  const fs::path itunes = media / "iTunes_Control/iTunes";
  if (itdb) {
    return media_farm::WriteItdb(itunes / "iTunes Library.itlp", items, lists, library_pid, error);
  }
  return media_farm::WriteLibrary(itunes / "MediaLibrary.sqlitedb", content, items, lists,
                                  library_pid, error);
}

}  // namespace devsim
