#include "utility/module/photo/photo_library.h"

#include <glog/logging.h>

#include <cctype>
#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>

#include "common/json_text.h"
#include "utility/module/database/date_text.h"
#include "utility/module/database/sql_regexp.h"
#include "utility/module/database/sqlite_handles.h"
#include "utility/module/photo/photo_paths.h"
#include "utility/module/photo/photo_row_sender.h"
#include "utility/module/vado_module.h"

namespace {

constexpr int64_t kJoinTableMissing = 18;

constexpr char kIos4PhotoStatement[] =
    "SELECT p.primaryKey,p.type,p.directory || '/' || p.filename,p.orientation, 0 as "
    "ZADDITIONALATTRIBUTES,p.captureTime,p.recordModDate,0 as ZORIGINALFILESIZE  FROM Photo p "
    "WHERE p.filename is not null";

constexpr char kIos4AlbumHead[] =
    "SELECT count(0),al.primaryKey,al.title,al.kind FROM PhotoAlbum al,PhotoAlbumToPhotoJoin "
    "z_16 WHERE z_16.left = al.primaryKey";

constexpr char kIos4ItemsHead[] =
    "select p.primaryKey,p.type,p.directory || '/' || p.filename,p.orientation, 0 as "
    "ZADDITIONALATTRIBUTES,p.captureTime,p.recordModDate,0 as ZORIGINALFILESIZE  from Photo "
    "p,PhotoAlbumToPhotoJoin pp where p.filename is not null and pp.right = p.primaryKey and "
    "pp.left =";

constexpr char kJoinTableStatement[] =
    "SELECT name FROM sqlite_master WHERE type=\"table\" AND name REGEXP \"Z_[0-9]+ASSETS\"";

std::string UpperText(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string ReplaceTable(const char* pattern, const std::string& table) {
  std::string out(pattern);
  const size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, table);
  return out;
}

// The local copy opened; null (after the "OPEN DB" line) when it is missing or unreadable.
SqliteDbPtr OpenPhotoDb(const std::string& path) {
  std::error_code error;
  if (path.empty() || !std::filesystem::is_regular_file(path, error)) {
    LOG(ERROR) << "OPEN DB: " << path << " RES: " << SQLITE_CANTOPEN;
    return nullptr;
  }
  return OpenDatabase(path);
}

// The creation text of a table, upper-cased; nothing when the table does not exist or the
// probe cannot be prepared.
std::optional<std::string> TableSql(const SqliteDbPtr& db, const std::string& path,
                                    const std::string& table) {
  const std::string probe =
      " SELECT sql from sqlite_master where  type=\"table\" AND name='" + table + "'";
  SqliteStmtPtr statement = PrepareStatement(db, path, probe);
  if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
  return UpperText(ColumnText(statement.get(), 0));
}

// Runs one album statement; a row with a count of 0 ends it and nothing of it is sent.
// False when it cannot be prepared.
bool SendAlbumRows(const SqliteDbPtr& db, const PhotoQuery& query, const std::string& sql,
                   int64_t type, const char* failure_name) {
  sqlite3_stmt* raw = nullptr;
  const int result = sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &raw, nullptr);
  if (result != SQLITE_OK || raw == nullptr) {
    sqlite3_finalize(raw);
    if (failure_name != nullptr) {
      LOG(ERROR) << failure_name << " Fail: " << query.db_path << " SQL: " << sql
                 << " RES: " << result;
    } else {
      LOG(ERROR) << "OPEN STMT: " << query.db_path << " SQL: " << sql << " RES: " << result;
    }
    return false;
  }
  SqliteStmtPtr statement(raw, [](sqlite3_stmt* s) { sqlite3_finalize(s); });
  std::vector<std::string> objects;
  while (sqlite3_step(raw) == SQLITE_ROW) {
    const int64_t count = sqlite3_column_int64(raw, 0);
    if (count == 0) {
      objects.clear();
      break;
    }
    objects.push_back("{\"COUNT\":" + std::to_string(count) +
                      ",\"Z_PK\":" + std::to_string(sqlite3_column_int64(raw, 1)) +
                      ",\"TITLE\":" + JsonQuote(ColumnText(raw, 2)) +
                      ",\"ZKIND\":" + std::to_string(sqlite3_column_int64(raw, 3)) +
                      ",\"TYPE\":" + std::to_string(type) + "}");
  }
  if (!objects.empty()) query.sink->SendAlbums(objects);
  return true;
}

// What the album operations of iOS 6+ learn from the schema before their statements.
struct AlbumSchema {
  std::string asset_table;
  std::string join_table;
  std::string asset_column;  // empty when the join table names only one asset column
  std::string album_column;
  bool album_trash = true;
  bool asset_trash = true;
  bool favourites = false;
  bool subtypes = false;
};

// 0, or 18 without a join table.
int64_t ProbeAlbumSchema(const SqliteDbPtr& db, const PhotoQuery& query, AlbumSchema* out) {
  RegisterRegexp(db.get());
  out->asset_table = PhotoAssetTable(query.product_version);
  {
    SqliteStmtPtr statement = PrepareStatement(db, query.db_path, kJoinTableStatement);
    if (!statement) return kJoinTableMissing;
    if (sqlite3_step(statement.get()) != SQLITE_ROW) {
      LOG(ERROR) << "OPEN STMT: " << query.db_path << " SQL: " << kJoinTableStatement
                 << " RES: 0";
      return kJoinTableMissing;
    }
    out->join_table = ColumnText(statement.get(), 0);
  }
  int64_t n = 0;
  for (size_t i = 2; i < out->join_table.size() && std::isdigit(
                         static_cast<unsigned char>(out->join_table[i])) && n < 1'000'000'000;
       ++i) {
    n = n * 10 + (out->join_table[i] - '0');
  }
  out->album_column = "z_" + std::to_string(n) + "albums";
  if (std::optional<std::string> album_sql = TableSql(db, query.db_path, "ZGENERICALBUM")) {
    out->album_trash = album_sql->find("ZTRASHEDSTATE") != std::string::npos;
  }
  if (std::optional<std::string> asset_sql = TableSql(db, query.db_path, out->asset_table)) {
    out->favourites = asset_sql->find("ZFAVORITE") != std::string::npos;
    out->asset_trash = asset_sql->find("ZTRASHEDSTATE") != std::string::npos;
    out->subtypes = asset_sql->find("ZKINDSUBTYPE") != std::string::npos;
  }
  // The table's name comes from the database itself; one that could break out of the
  // quoted probe is not used.
  if (out->join_table.find('\'') == std::string::npos) {
    if (std::optional<std::string> join_sql = TableSql(db, query.db_path, out->join_table)) {
      static const std::regex kColumn("Z_[0-9]+ASSETS");
      // The creation text is bounded so the matcher's recursion stays shallow.
      const std::string text = join_sql->substr(0, 64 * 1024);
      auto it = std::sregex_iterator(text.begin(), text.end(), kColumn);
      if (it != std::sregex_iterator() && ++it != std::sregex_iterator()) {
        out->asset_column = it->str();
      }
    }
  }
  return kResultOk;
}

std::string PhotoListHead(const std::string& asset_table) {
  return "SELECT a.Z_PK,a.ZSAVEDASSETTYPE,a.ZDIRECTORY || '/'||a.ZFILENAME,a.ZORIENTATION, "
         "a.ZADDITIONALATTRIBUTES,a.ZDATECREATED,a.ZMODIFICATIONDATE, t.ZORIGINALFILESIZE FROM " +
         asset_table +
         " a left join ZADDITIONALASSETATTRIBUTES t on t.Z_PK = a.Z_PK WHERE 1=1";
}

// The album-list statement of the kind-1000 album (`where` " WHERE al.zkind ==1000") or
// of the user albums.
std::string AlbumStatement(const AlbumSchema& schema, const std::string& where) {
  std::string sql = "SELECT count(0),al.z_pk,al.ztitle,al.zkind FROM ZGENERICALBUM al," +
                    schema.join_table + " z" + " left join " + schema.asset_table + " zg on z." +
                    schema.asset_column + " = zg.z_pk left join ZADDITIONALASSETATTRIBUTES t on t.Z_PK = z." +
                    schema.asset_column + where + " AND z." + schema.album_column + " = al.z_pk";
  if (schema.album_trash) sql += " AND  al.ZTRASHEDSTATE = 0";
  if (schema.asset_trash) sql += " AND  zg.ZTRASHEDSTATE = 0";
  return sql + " group by al.z_pk ";
}

}  // namespace

std::string PhotoListStatement(const std::string& asset_table, bool trash_filter) {
  std::string sql = PhotoListHead(asset_table);
  if (trash_filter) sql += " AND a.ZTRASHEDSTATE = 0";
  return sql + " ORDER BY ZDATECREATED desc";
}

int64_t PhotoListIos4(const PhotoQuery& query) {
  SqliteDbPtr db = OpenPhotoDb(query.db_path);
  if (!db) return kDbOpenFailed;
  return SendPhotoRows(db, query, kIos4PhotoStatement);
}

int64_t PhotoListIos6(const PhotoQuery& query) {
  SqliteDbPtr db = OpenPhotoDb(query.db_path);
  if (!db) return kDbOpenFailed;
  const std::string table = PhotoAssetTable(query.product_version);
  bool trash_filter = true;
  if (std::optional<std::string> sql = TableSql(db, query.db_path, table)) {
    trash_filter = sql->find("ZTRASHEDSTATE") != std::string::npos;
  }
  return SendPhotoRows(db, query, PhotoListStatement(table, trash_filter));
}

int64_t AlbumListIos4(const PhotoQuery& query) {
  SqliteDbPtr db = OpenPhotoDb(query.db_path);
  if (!db) return kDbOpenFailed;
  const std::string head = kIos4AlbumHead;
  SendAlbumRows(db, query, head + " AND al.kind == 1000" + " GROUP BY al.primaryKey ",
                kAlbumKind1000, nullptr);
  SendAlbumRows(db, query,
                head + " AND al.kind != 1000" + " AND al.title is not null" +
                    " GROUP BY al.primaryKey ",
                kAlbumUser, nullptr);
  return kResultOk;
}

int64_t AlbumListIos6(const PhotoQuery& query) {
  SqliteDbPtr db = OpenPhotoDb(query.db_path);
  if (!db) return kDbOpenFailed;
  AlbumSchema schema;
  if (const int64_t probe = ProbeAlbumSchema(db, query, &schema); probe != kResultOk) return probe;
  SendAlbumRows(db, query, AlbumStatement(schema, " WHERE al.zkind ==1000"), kAlbumKind1000,
                "GetAlbumListFromQueryDb_1");
  const std::string trash = schema.asset_trash ? " AND ZTRASHEDSTATE = 0" : "";
  const std::string& table = schema.asset_table;
  auto computed = [&](const char* pattern, int64_t type, bool add_trash) {
    if (query.cancelled && query.cancelled()) return;
    SendAlbumRows(db, query, ReplaceTable(pattern, table) + (add_trash ? trash : ""), type,
                  nullptr);
  };
  if (schema.favourites) {
    computed("SELECT count(0),0,'',0 FROM %s WHERE zfavorite = 1", kAlbumFavourites, true);
  }
  if (schema.subtypes) {
    computed("SELECT count(0),0,'',0 FROM %s WHERE ZKINDSUBTYPE = 10", kAlbumScreenshots, true);
    computed("SELECT count(0),0,'',0 FROM %s WHERE ZSAVEDASSETTYPE = 256", kAlbumSaved256, true);
  }
  computed("SELECT count(0),0,'',0 FROM %s WHERE ZKIND = 1", kAlbumVideos, true);
  if (schema.asset_trash) {
    computed(" SELECT count(0),0,'',0 FROM %s a left join ZADDITIONALASSETATTRIBUTES t ON "
             "t.Z_PK = a.Z_PK WHERE 1= 1 AND a.ZTRASHEDSTATE = 1",
             kAlbumTrashed, false);
  }
  computed(" SELECT count(0),0,'',0 FROM %s WHERE ZPLAYBACKSTYLE = 3 and ZTRASHEDSTATE=0 and "
           "ZSAVEDASSETTYPE != 8",
           kAlbumLivePhotos, false);
  computed(" SELECT count(0),0,'',0 FROM %s WHERE ZPLAYBACKSTYLE = 1 and ZAVALANCHEPICKTYPE = 52 "
           "and ZTRASHEDSTATE=0",
           kAlbumBursts, false);
  if (query.cancelled && query.cancelled()) return kResultCancelled;
  SendAlbumRows(db, query,
                AlbumStatement(schema, " WHERE al.ztitle is not null AND al.zkind !=1000"),
                kAlbumUser, "GetAlbumListFromQueryDb_0");
  return kResultOk;
}

int64_t AlbumItemsIos4(const PhotoQuery& query) {
  SqliteDbPtr db = OpenPhotoDb(query.db_path);
  if (!db) return kDbOpenFailed;
  return SendPhotoRows(db, query, kIos4ItemsHead + std::to_string(query.album_id));
}

int64_t AlbumItemsIos6(const PhotoQuery& query) {
  SqliteDbPtr db = OpenPhotoDb(query.db_path);
  if (!db) return kDbOpenFailed;
  AlbumSchema schema;
  if (const int64_t probe = ProbeAlbumSchema(db, query, &schema); probe != kResultOk) return probe;
  if (!PrepareStatement(db, query.db_path, "select * from " + schema.asset_table + " limit 0")) {
    return kDbPrepareFailed;
  }
  const std::string trash = schema.asset_trash ? " AND a.ZTRASHEDSTATE = 0" : "";
  const char* condition = nullptr;
  switch (query.album_type) {
    case kAlbumFavourites: condition = " AND zfavorite = 1"; break;
    case kAlbumScreenshots: condition = " AND ZKINDSUBTYPE == 10"; break;
    case kAlbumSaved256: condition = " AND ZSAVEDASSETTYPE = 256"; break;
    case kAlbumTrashed:
      // Without a trash column nothing is in the trash; the bare statement would list
      // every photo as deleted.
      if (!schema.asset_trash) return kResultOk;
      return SendPhotoRows(db, query, PhotoListHead(schema.asset_table) + " AND a.ZTRASHEDSTATE = 1");
    case kAlbumVideos: condition = " AND ZKIND == 1"; break;
    case kAlbumLivePhotos: condition = " AND ZPLAYBACKSTYLE = 3 AND ZSAVEDASSETTYPE != 8"; break;
    case kAlbumBursts: condition = " AND ZPLAYBACKSTYLE = 1 and ZAVALANCHEPICKTYPE = 52"; break;
    default: break;
  }
  if (condition != nullptr) {
    return SendPhotoRows(db, query, PhotoListHead(schema.asset_table) + condition + trash);
  }
  const std::string sql =
      " SELECT a.Z_PK,a.ZSAVEDASSETTYPE,a.ZDIRECTORY || '/'||a.ZFILENAME,a.ZORIENTATION, "
      "a.ZADDITIONALATTRIBUTES,a.ZDATECREATED,a.ZMODIFICATIONDATE, t.ZORIGINALFILESIZE FROM " +
      schema.asset_table + " a left join ZADDITIONALASSETATTRIBUTES t on t.Z_PK = a.Z_PK," +
      schema.join_table + " z WHERE a.Z_pk = z." + schema.asset_column + " AND z." +
      schema.album_column + "=" + std::to_string(query.album_id) + trash;
  return SendPhotoRows(db, query, sql);
}
