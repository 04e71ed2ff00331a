#include "utility/module/media/media_library.h"

#include <glog/logging.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <utility>

const char kMediaLibraryItemStatement[] =
    "select media_kind,i.item_pid, file_size, year,date_modified,comment,description_long,"
    "copyright,title,total_time_ms, i.media_type, a.album,a.album_pid, ia.item_artist,"
    "ia.item_artist_pid, g.genre,g.genre_id, bl.path || '/' || ie.location,bl.base_location_id"
    " from item as i left join item_extra as ie on ie.item_pid = i.item_pid left join album as a"
    " on a.album_pid = i.album_pid left join item_artist as ia on ia.item_artist_pid ="
    " i.item_artist_pid\t left join genre as g on g.genre_id = i.genre_id left join"
    " base_location as bl on bl.base_location_id = i.base_location_id"
    " order by title COLLATE NOCASE asc";

namespace {

constexpr char kOlderItemSql[] =
    "SELECT media_kind,pid,0 as file_size,year,date_modified, comment,description_long,"
    "copyright,title, total_time_ms,0 as media_type,album,0 album_pid,artist,0 as artist_pid,"
    " gm.genre,genre_id,null as path from item left join genre_map gm on genre_id = gm.id"
    " order by title COLLATE NOCASE asc";

constexpr char kOlderLocationSql[] =
    "SELECT item_pid,a.path || '/' || b.location as lpath, b.file_size FROM base_location as a,"
    "location as b WHERE a.id = b.base_location_id AND lpath is not null";

constexpr char kLibraryPlaylistSql[] =
    " SELECT container.container_pid,container.name,container.contained_media_type,"
    " container.parent_pid, container.smart_is_folder FROM container WHERE"
    " container.container_pid NOT IN  (SELECT primary_container_pid FROM db_info) AND"
    " container.is_hidden = 0 and name is not null";
constexpr char kLibraryPlaylistOlderSql[] =
    " SELECT container.container_pid,container.name,container.media_kinds,"
    " container.parent_pid, container.smart_is_folder FROM container  WHERE"
    " container.container_pid NOT IN (SELECT primary_container_pid FROM db_info) AND"
    " container.is_hidden = 0";
constexpr char kItdbPlaylistSql[] =
    "SELECT container.pid,container.name,container.media_kinds, container.parent_pid,"
    "container.smart_is_folder FROM container  WHERE container.pid NOT IN (SELECT"
    " primary_container_pid FROM db_info) AND container.is_hidden = 0";

constexpr char kLibraryMemberSql[] = "SELECT item_pid FROM container_item where container_pid = ?";
constexpr char kItdbMemberSql[] = "SELECT item_pid FROM item_to_container where container_pid = ?";
constexpr char kBlobMemberSql[] =
    "SELECT item_pid_data FROM container_items WHERE container_pid = ?";

// Prepares a statement, logging a failure under `label` at the given severity.
SqliteStmtPtr PrepareMediaStatement(sqlite3* db, const char* label, const char* sql_tag,
                                    const char* sql, int severity) {
  sqlite3_stmt* raw = nullptr;
  const int result = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
  if (result != SQLITE_OK || raw == nullptr) {
    sqlite3_finalize(raw);
    if (severity == google::GLOG_WARNING) {
      LOG(WARNING) << "OPEN STMT" << label << ": " << sql_tag << sql << " RES: " << result;
    } else {
      LOG(ERROR) << "OPEN STMT" << label << ": " << sql_tag << sql << " RES: " << result;
    }
    return nullptr;
  }
  return SqliteStmtPtr(raw, [](sqlite3_stmt* s) { sqlite3_finalize(s); });
}

MediaItem ReadItemRow(sqlite3_stmt* s) {
  MediaItem item;
  item.media_kind = sqlite3_column_int64(s, 0);
  item.pid = sqlite3_column_int64(s, 1);
  item.file_size = sqlite3_column_int64(s, 2);
  item.year = sqlite3_column_int(s, 3);
  item.date_modified = sqlite3_column_int64(s, 4);
  item.comment = ColumnText(s, 5);
  item.description_long = ColumnText(s, 6);
  item.copyright = ColumnText(s, 7);
  item.title = ColumnText(s, 8);
  item.total_time_ms = sqlite3_column_double(s, 9);
  item.duration = MediaDurationText(item.total_time_ms);
  item.media_type = sqlite3_column_int64(s, 10);
  item.album = ColumnText(s, 11);
  item.album_pid = sqlite3_column_int64(s, 12);
  item.artist = ColumnText(s, 13);
  item.artist_pid = sqlite3_column_int64(s, 14);
  item.genre = ColumnText(s, 15);
  item.genre_id = sqlite3_column_int64(s, 16);
  item.path = ColumnText(s, 17);
  return item;
}

void LogMediaCounts(const char* label, const MediaLists& lists) {
  LOG(INFO) << label << " songs: " << lists.songs.size() << " movies: " << lists.movies.size()
            << " music_video: " << lists.music_videos.size()
            << " tvshow: " << lists.tv_shows.size();
}

// Opens a local copy; null (logged) when it is missing or cannot be opened, so that a
// missing copy is never created empty.
SqliteDbPtr OpenMediaDb(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    LOG(ERROR) << "OPEN DB: " << path << " RES: " << SQLITE_CANTOPEN;
    return nullptr;
  }
  return OpenDatabase(path);
}

// Member pids of one playlist by the statement of its database, else the blob table.
std::vector<int64_t> ReadPlaylistMembers(sqlite3* db, MediaDbKind kind, int64_t playlist_pid) {
  std::vector<int64_t> pids;
  SqliteStmtPtr members = PrepareMediaStatement(
      db, "", "SQL: ", kind == MediaDbKind::kItdb ? kItdbMemberSql : kLibraryMemberSql,
      google::GLOG_WARNING);
  if (members) {
    sqlite3_bind_int64(members.get(), 1, playlist_pid);
    while (sqlite3_step(members.get()) == SQLITE_ROW) {
      pids.push_back(sqlite3_column_int64(members.get(), 0));
    }
    return pids;
  }
  SqliteStmtPtr blobs = PrepareMediaStatement(db, "", "SQL: ", kBlobMemberSql, google::GLOG_ERROR);
  if (!blobs) return pids;
  sqlite3_bind_int64(blobs.get(), 1, playlist_pid);
  while (sqlite3_step(blobs.get()) == SQLITE_ROW) {
    const void* bytes = sqlite3_column_blob(blobs.get(), 0);
    const int length = sqlite3_column_bytes(blobs.get(), 0);
    if (bytes == nullptr || length <= 0) continue;
    std::vector<int64_t> more = UnpackPidBlob(bytes, static_cast<size_t>(length));
    pids.insert(pids.end(), more.begin(), more.end());
  }
  return pids;
}

// The visible playlists, without their members.
std::vector<MediaPlaylist> ReadPlaylistRows(sqlite3* db, MediaDbKind kind) {
  std::vector<MediaPlaylist> playlists;
  SqliteStmtPtr statement;
  if (kind == MediaDbKind::kItdb) {
    statement = PrepareMediaStatement(db, " QueryMSongPlaylist", "SQL: ", kItdbPlaylistSql,
                                      google::GLOG_WARNING);
  } else {
    statement = PrepareMediaStatement(db, " QueryMSongPlaylist", " SQL1: ", kLibraryPlaylistSql,
                                      google::GLOG_WARNING);
    if (!statement) {
      statement = PrepareMediaStatement(db, " QueryMSongPlaylist", " SQL2: ",
                                        kLibraryPlaylistOlderSql, google::GLOG_WARNING);
    }
  }
  if (!statement) return playlists;
  sqlite3_stmt* s = statement.get();
  while (sqlite3_step(s) == SQLITE_ROW) {
    MediaPlaylist playlist;
    playlist.pid = sqlite3_column_int64(s, 0);
    playlist.name = ColumnText(s, 1);
    playlist.media_type = sqlite3_column_int64(s, 2);
    playlist.parent_pid = sqlite3_column_int64(s, 3);
    playlist.smart_is_folder = sqlite3_column_int(s, 4);
    playlists.push_back(std::move(playlist));
  }
  LOG(INFO) << "QueryMSongPlaylist: " << " playlists: " << playlists.size();
  return playlists;
}

}  // namespace

std::string MediaDurationText(double milliseconds) {
  double seconds = std::isfinite(milliseconds) && milliseconds > 0 ? milliseconds / 1000.0 : 0;
  // Beyond any real recording: keeps the integer conversion defined.
  if (seconds > 1e12) seconds = 1e12;
  const long long whole = std::llround(seconds);
  const long long hours = whole / 3600, minutes = whole / 60 % 60, rest = whole % 60;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld", hours, minutes, rest);
  } else {
    std::snprintf(text, sizeof text, "%.2lld:%.2lld", minutes, rest);
  }
  return text;
}

int64_t ReadMediaLibraryItems(const std::string& path, MediaLists* lists,
                              const std::function<bool()>& cancelled) {
  SqliteDbPtr db = OpenMediaDb(path);
  if (!db) return kDbOpenFailed;
  SqliteStmtPtr statement = PrepareMediaStatement(db.get(), " QueryMediaLibrary", " SQL: ",
                                                  kMediaLibraryItemStatement, google::GLOG_ERROR);
  if (!statement) return kDbOpenFailed;
  sqlite3_stmt* s = statement.get();
  for (int row = 0; sqlite3_step(s) == SQLITE_ROW; ++row) {
    if (row % 256 == 0 && cancelled && cancelled()) return 6;
    if (sqlite3_column_double(s, 9) == 0) continue;
    MediaItem item = ReadItemRow(s);
    switch (item.media_kind) {
      case 2: lists->movies.push_back(std::move(item)); break;
      case 33: lists->music_videos.push_back(std::move(item)); break;
      case 64: lists->tv_shows.push_back(std::move(item)); break;
      default: lists->songs.push_back(std::move(item)); break;
    }
  }
  LogMediaCounts("QueryMediaLibrary: ", *lists);
  return 0;
}

int64_t ReadOlderLibraryItems(const std::string& library, const std::string& locations,
                              MediaLists* lists, const std::function<bool()>& cancelled) {
  std::map<int64_t, std::pair<std::string, int64_t>> where;
  if (SqliteDbPtr places = OpenMediaDb(locations)) {
    SqliteStmtPtr statement = PrepareMediaStatement(places.get(), " QueryLocationsITDB",
                                                    " SQL: ", kOlderLocationSql,
                                                    google::GLOG_ERROR);
    while (statement && sqlite3_step(statement.get()) == SQLITE_ROW) {
      where[sqlite3_column_int64(statement.get(), 0)] = {ColumnText(statement.get(), 1),
                                                         sqlite3_column_int64(statement.get(), 2)};
    }
  }
  SqliteDbPtr db = OpenMediaDb(library);
  if (!db) return kDbOpenFailed;
  SqliteStmtPtr statement = PrepareMediaStatement(db.get(), " QueryLibraryITDB", " SQL: ",
                                                  kOlderItemSql, google::GLOG_ERROR);
  if (!statement) return kDbOpenFailed;
  sqlite3_stmt* s = statement.get();
  for (int row = 0; sqlite3_step(s) == SQLITE_ROW; ++row) {
    if (row % 256 == 0 && cancelled && cancelled()) return 6;
    if (sqlite3_column_double(s, 9) == 0) continue;
    auto place = where.find(sqlite3_column_int64(s, 1));
    if (place == where.end()) continue;
    MediaItem item = ReadItemRow(s);
    item.path = place->second.first;
    item.file_size = place->second.second;
    const int64_t kind = item.media_kind;
    if (kind == 1) {
      lists->songs.push_back(std::move(item));
    } else if (kind == 2) {
      lists->movies.push_back(std::move(item));
    } else if (kind & 64) {
      lists->tv_shows.push_back(std::move(item));
    } else if (kind & 32) {
      lists->music_videos.push_back(std::move(item));
    }
  }
  LogMediaCounts("QueryLibraryITDB: ", *lists);
  return 0;
}

int64_t ReadPlaylists(const std::string& path, MediaDbKind kind,
                      std::vector<MediaPlaylist>* playlists) {
  SqliteDbPtr db = OpenMediaDb(path);
  if (!db) return kDbOpenFailed;
  *playlists = ReadPlaylistRows(db.get(), kind);
  for (MediaPlaylist& playlist : *playlists) {
    playlist.item_pids = ReadPlaylistMembers(db.get(), kind, playlist.pid);
  }
  return 0;
}

int64_t ReadPlaylistItems(const std::string& path, MediaDbKind kind, int64_t playlist_pid,
                          bool* found, std::vector<int64_t>* item_pids) {
  *found = false;
  SqliteDbPtr db = OpenMediaDb(path);
  if (!db) return kDbOpenFailed;
  for (const MediaPlaylist& playlist : ReadPlaylistRows(db.get(), kind)) {
    if (playlist.pid != playlist_pid) continue;
    *found = true;
    *item_pids = ReadPlaylistMembers(db.get(), kind, playlist_pid);
    break;
  }
  return 0;
}

std::vector<int64_t> UnpackPidBlob(const void* bytes, size_t length) {
  std::vector<int64_t> pids;
  const auto* b = static_cast<const uint8_t*>(bytes);
  for (size_t at = 0; at + 8 <= length; at += 8) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | b[at + i];
    pids.push_back(static_cast<int64_t>(value));
  }
  return pids;
}

bool IsMediaFilePath(const std::string& path) {
  if (path.empty() || path == "/") return false;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  return path.find('.', slash) != std::string::npos;
}
