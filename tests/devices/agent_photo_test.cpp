// Commands 400-404 through the agent against simulated photo libraries of the three schema
// families. Expected values are read from the farm's own Photos.sqlite and media files.
#include <sqlite3.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "agent_fixture.h"
#include "common/json_text.h"
#include "utility/module/photo/photo_paths.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int64_t kEpoch2001 = 978307200;

std::string UtcText(double seconds_2001) {
  const time_t t = static_cast<time_t>(kEpoch2001 + static_cast<int64_t>(seconds_2001));
  struct tm parts {};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A photo as the farm's database has it, with the size a reader should report.
struct FarmPhoto {
  int64_t key = 0;
  std::string path;
  int64_t saved_type = 0;
  int64_t orientation = 0;
  std::string created;
  std::string modified;
  int64_t size = 0;
};

// Runs `sql` on the farm database (read-only, so its write-ahead log stays as the device
// left it) and calls `row` for each row.
void EachFarmRow(const fs::path& db_path, const std::string& sql,
                 const std::function<void(sqlite3_stmt*)>& row) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  while (sqlite3_step(s) == SQLITE_ROW) row(s);
  sqlite3_finalize(s);
  sqlite3_close(db);
}

// Changes the farm database as the device would: a library in write-ahead mode keeps the
// change in its -wal file.
void ChangeFarm(const fs::path& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

std::string Text(sqlite3_stmt* s, int i) {
  const unsigned char* t = sqlite3_column_text(s, i);
  return t ? reinterpret_cast<const char*>(t) : "";
}

// What one listing request sent.
struct PhotoListing {
  int64_t code = -1;
  int64_t count = -1;                 // from the count message; -1 when none came
  std::vector<size_t> arrays;         // sizes of the photo or album arrays
  std::vector<rapidjson::Document> objects;
  std::vector<const Seen*> data;      // every message before the result
};

class PhotoTest : public AgentFixture {
 protected:
  void SetUp() override { setenv("TZ", "UTC", 1); }

  std::string AddPhotos(uint64_t seed, const std::string& version, uint64_t photos,
                        uint64_t albums) {
    devsim::DeviceSpec farm_device;
    farm_device.seed = seed;
    farm_device.product_version = version;
    farm_device.media_files = 1;
    farm_device.photos.photos = photos;
    farm_device.photos.albums = albums;
    return Add(farm_device);
  }
  fs::path Media(const std::string& udid) const {
    return sim_.farm_dir() / "devices" / udid / "fs/private/var/mobile/Media";
  }
  fs::path FarmDb(const std::string& udid) const { return Media(udid) / "PhotoData/Photos.sqlite"; }

  PhotoListing Run(uint32_t command, const std::string& udid, const std::string& info,
                   const std::string& body = "") {
    const uint64_t task = next_task_++;
    std::string header = "{\"uuid\":" + JsonQuote(udid);
    if (!info.empty()) header += ",\"info\":" + info;
    header += "}";
    SendWithHeader(command, task, header, body);
    PhotoListing listing;
    const Seen* result = WaitForResult(task, &listing.data, 50s);
    if (result == nullptr) return listing;
    listing.code = Code(*result);
    for (const Seen* s : listing.data) {
      const rapidjson::Document& h = s->header;
      if (!h.IsObject() || !h.HasMember("stage") || !h["type"].IsInt() || h["type"].GetInt() != 0) {
        continue;
      }
      if (h["stage"].GetInt() == 0 && h.HasMember("info")) {
        listing.count = h["info"]["Count"].GetInt64();
      } else if (h["stage"].GetInt() == 1) {
        rapidjson::Document array;
        array.Parse(s->message.body.c_str());
        if (!array.IsArray()) continue;
        listing.arrays.push_back(array.Size());
        for (auto& item : array.GetArray()) {
          rapidjson::Document copy;
          copy.CopyFrom(item, copy.GetAllocator());
          listing.objects.push_back(std::move(copy));
        }
      }
    }
    return listing;
  }

  std::vector<FarmPhoto> FarmPhotos(const std::string& udid, const std::string& sql) {
    std::vector<FarmPhoto> photos;
    EachFarmRow(FarmDb(udid), sql, [&](sqlite3_stmt* s) {
      FarmPhoto p;
      p.key = sqlite3_column_int64(s, 0);
      p.path = Text(s, 1);
      p.saved_type = sqlite3_column_int64(s, 2);
      p.orientation = sqlite3_column_int64(s, 3);
      p.created = UtcText(sqlite3_column_double(s, 4));
      p.modified = UtcText(sqlite3_column_double(s, 5));
      p.size = sqlite3_column_int64(s, 6);
      if (p.size < 0) p.size = static_cast<int64_t>(fs::file_size(Media(udid) / p.path));
      photos.push_back(std::move(p));
    });
    return photos;
  }
  // Photos of the iOS 6+ asset table `table` that match `where`, newest first.
  std::vector<FarmPhoto> FarmAssets(const std::string& udid, const std::string& table,
                                    const std::string& where, bool newest_first = true) {
    return FarmPhotos(udid,
                      "SELECT a.Z_PK, a.ZDIRECTORY || '/' || a.ZFILENAME, a.ZSAVEDASSETTYPE,"
                      " a.ZORIENTATION, a.ZDATECREATED, a.ZMODIFICATIONDATE, t.ZORIGINALFILESIZE"
                      " FROM " + table + " a LEFT JOIN ZADDITIONALASSETATTRIBUTES t ON"
                      " t.Z_PK = a.Z_PK WHERE " + where +
                      (newest_first ? " ORDER BY a.ZDATECREATED DESC" : ""));
  }

  // The photos sent against the expected ones, in order or as sets.
  static void ExpectPhotos(const PhotoListing& listing, const std::vector<FarmPhoto>& expected,
                           bool ordered) {
    ASSERT_EQ(listing.code, 0);
    ASSERT_EQ(listing.count, static_cast<int64_t>(expected.size()));
    std::vector<size_t> sizes(expected.size() / 600, 600);
    if (expected.size() % 600) sizes.push_back(expected.size() % 600);
    EXPECT_EQ(listing.arrays, sizes);
    ASSERT_EQ(listing.objects.size(), expected.size());
    std::map<int64_t, const FarmPhoto*> by_key;
    for (const FarmPhoto& p : expected) by_key[p.key] = &p;
    for (size_t i = 0; i < expected.size(); ++i) {
      const rapidjson::Document& o = listing.objects[i];
      const FarmPhoto* e = ordered ? &expected[i] : by_key[o["Z_PK"].GetInt64()];
      ASSERT_NE(e, nullptr);
      SCOPED_TRACE(e->path);
      EXPECT_EQ(o["Z_PK"].GetInt64(), e->key);
      EXPECT_EQ(o["PATH"].GetString(), e->path);
      EXPECT_EQ(o["ZSAVEDASSETTYPE"].GetInt64(), e->saved_type);
      EXPECT_EQ(o["ZORIENTATION"].GetInt64(), e->orientation);
      EXPECT_EQ(o["ZDATECREATED"].GetString(), e->created);
      EXPECT_EQ(o["ZMODIFICATIONDATE"].GetString(), e->modified);
      EXPECT_EQ(o["ZORIGINALFILESIZE"].GetInt64(), e->size);
    }
  }

  uint64_t next_task_ = 100;
};

constexpr char kVisible[] = "a.ZTRASHEDSTATE = 0";

TEST_F(PhotoTest, PhotoListOfEachSchemaFamilyNewestFirstInArraysOf600) {
  const std::string ios5 = AddPhotos(51, "5.1.1", 1500, 2);
  const std::string ios12 = AddPhotos(52, "12.4", 900, 2);
  const std::string ios16 = AddPhotos(53, "16.6", 900, 2);
  const std::string ios15 = AddPhotos(54, "15.0", 30, 1);
  // An iPad of firmware 3.2 is served (older iPhones are not).
  devsim::DeviceSpec ipad;
  ipad.seed = 55;
  ipad.product_version = "3.2.2";
  ipad.device_class = "iPad";
  ipad.product_type = "iPad1,1";
  ipad.photos.photos = 30;
  const std::string ios3 = Add(ipad);
  StartAll();
  for (const std::string& udid : {ios5, ios12, ios16, ios15, ios3}) ASSERT_NE(WaitArrival(udid), 0);

  // iOS 5: the Photo table in its own order, no sizes.
  std::vector<FarmPhoto> old = FarmPhotos(
      ios5, "SELECT primaryKey, directory || '/' || filename, type, orientation, captureTime,"
            " recordModDate, 0 FROM Photo WHERE filename IS NOT NULL");
  ASSERT_EQ(old.size(), 1500u);
  ExpectPhotos(Run(400, ios5, ""), old, true);

  // iOS 12 (ZGENERICASSET) and 16 (ZASSET): trashed photos left out, newest first, negative
  // recorded sizes replaced by the file's size.
  std::vector<FarmPhoto> generic = FarmAssets(ios12, "ZGENERICASSET", kVisible);
  std::vector<FarmPhoto> assets = FarmAssets(ios16, "ZASSET", kVisible);
  ASSERT_LT(generic.size(), 1500u) << "the farm has trashed photos";
  ExpectPhotos(Run(400, ios12, ""), generic, true);
  ExpectPhotos(Run(400, ios16, ""), assets, true);
  bool negative = false;
  EachFarmRow(FarmDb(ios16), "SELECT count(*) FROM ZADDITIONALASSETATTRIBUTES WHERE ZORIGINALFILESIZE < 0",
              [&](sqlite3_stmt* s) { negative = sqlite3_column_int64(s, 0) > 0; });
  EXPECT_TRUE(negative) << "some recorded sizes are negative";

  // 15.0 reaches the iOS 6+ library by its major version; before 4 nothing is known.
  ExpectPhotos(Run(400, ios15, ""), FarmAssets(ios15, "ZASSET", kVisible), true);
  PhotoListing none = Run(400, ios3, "");
  EXPECT_EQ(none.code, 0);
  EXPECT_EQ(none.count, -1);
  EXPECT_TRUE(none.objects.empty());
}

TEST_F(PhotoTest, SecondListReusesTheCopyUntilRefreshIsAsked) {
  const std::string udid = AddPhotos(61, "12.4", 80, 1);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  const std::vector<FarmPhoto> before = FarmAssets(udid, "ZGENERICASSET", kVisible);
  ExpectPhotos(Run(400, udid, ""), before, true);
  // The device's library changes: ten photos go.
  ChangeFarm(FarmDb(udid), "DELETE FROM ZGENERICASSET WHERE Z_PK <= 10");
  const std::vector<FarmPhoto> after = FarmAssets(udid, "ZGENERICASSET", kVisible);
  ASSERT_LT(after.size(), before.size());
  ExpectPhotos(Run(400, udid, "{\"refresh\":false}"), before, true);
  ExpectPhotos(Run(400, udid, "{\"refresh\":true}"), after, true);
  ExpectPhotos(Run(400, udid, ""), after, true);
}

// The albums the farm's iOS 6+ library should list: type to (key, title, count).
struct FarmAlbum {
  int64_t type = 0;
  int64_t key = 0;
  std::string title;
  int64_t kind = 0;
  int64_t count = 0;
};

std::vector<FarmAlbum> ExpectedAlbums(const fs::path& db, const std::string& table,
                                      const std::string& join, const std::string& album_column,
                                      const std::string& asset_column) {
  std::vector<FarmAlbum> albums;
  EachFarmRow(db,
              "SELECT al.Z_PK, al.ZTITLE, al.ZKIND, count(*) FROM ZGENERICALBUM al JOIN " + join +
                  " z ON z." + album_column + " = al.Z_PK JOIN " + table + " a ON a.Z_PK = z." +
                  asset_column + " WHERE al.ZTRASHEDSTATE = 0 AND a.ZTRASHEDSTATE = 0 AND"
                  " (al.ZKIND = 1000 OR al.ZTITLE IS NOT NULL) GROUP BY al.Z_PK",
              [&](sqlite3_stmt* s) {
                FarmAlbum a;
                a.key = sqlite3_column_int64(s, 0);
                a.title = Text(s, 1);
                a.kind = sqlite3_column_int64(s, 2);
                a.type = a.kind == 1000 ? 1 : 0;
                a.count = sqlite3_column_int64(s, 3);
                albums.push_back(a);
              });
  const std::pair<int64_t, std::string> computed[] = {
      {2, "ZFAVORITE = 1 AND ZTRASHEDSTATE = 0"},
      {3, "ZKINDSUBTYPE = 10 AND ZTRASHEDSTATE = 0"},
      {4, "ZSAVEDASSETTYPE = 256 AND ZTRASHEDSTATE = 0"},
      {6, "ZKIND = 1 AND ZTRASHEDSTATE = 0"},
      {5, "ZTRASHEDSTATE = 1"},
      {7, "ZPLAYBACKSTYLE = 3 AND ZSAVEDASSETTYPE <> 8 AND ZTRASHEDSTATE = 0"},
      {8, "ZPLAYBACKSTYLE = 1 AND ZAVALANCHEPICKTYPE = 52 AND ZTRASHEDSTATE = 0"},
  };
  for (const auto& [type, where] : computed) {
    EachFarmRow(db, "SELECT count(*) FROM " + table + " WHERE " + where, [&](sqlite3_stmt* s) {
      FarmAlbum a;
      a.type = type;
      a.count = sqlite3_column_int64(s, 0);
      if (a.count > 0) albums.push_back(a);
    });
  }
  return albums;
}

std::map<std::pair<int64_t, int64_t>, FarmAlbum> SentAlbums(const PhotoListing& listing) {
  std::map<std::pair<int64_t, int64_t>, FarmAlbum> sent;
  for (const rapidjson::Document& o : listing.objects) {
    FarmAlbum a;
    a.type = o["TYPE"].GetInt64();
    a.key = o["Z_PK"].GetInt64();
    a.title = o["TITLE"].GetString();
    a.kind = o["ZKIND"].GetInt64();
    a.count = o["COUNT"].GetInt64();
    EXPECT_TRUE(sent.emplace(std::make_pair(a.type, a.key), a).second) << "listed once";
  }
  return sent;
}

TEST_F(PhotoTest, AlbumListAndAlbumItems) {
  const std::string udid = AddPhotos(71, "16.6", 400, 7);
  const std::string broken = AddPhotos(72, "12.4", 60, 2);
  const fs::path db = FarmDb(udid);
  // No asset of type 256 is left, so that computed album is empty.
  ChangeFarm(db, "UPDATE ZASSET SET ZSAVEDASSETTYPE = 3 WHERE ZSAVEDASSETTYPE = 256");
  // The other library's join table names a single asset column.
  ChangeFarm(FarmDb(broken),
             "DROP TABLE Z_23ASSETS; CREATE TABLE Z_23ASSETS (Z_23ALBUMS INTEGER, ZMEMBER INTEGER)");
  agent_log_ = true;
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  ASSERT_NE(WaitArrival(broken), 0);

  const PhotoListing list = Run(401, udid, "");
  ASSERT_EQ(list.code, 0);
  EXPECT_EQ(list.count, -1) << "no count message";
  std::map<std::pair<int64_t, int64_t>, FarmAlbum> sent = SentAlbums(list);
  std::vector<FarmAlbum> expected = ExpectedAlbums(db, "ZASSET", "Z_26ASSETS", "Z_26ALBUMS", "Z_3ASSETS");
  std::set<int64_t> types;
  for (const FarmAlbum& e : expected) {
    SCOPED_TRACE("type " + std::to_string(e.type) + " album " + std::to_string(e.key));
    auto it = sent.find({e.type, e.key});
    ASSERT_NE(it, sent.end());
    EXPECT_EQ(it->second.count, e.count);
    EXPECT_EQ(it->second.title, e.title);
    EXPECT_EQ(it->second.kind, e.kind);
    types.insert(e.type);
  }
  EXPECT_EQ(sent.size(), expected.size());
  EXPECT_EQ(types, (std::set<int64_t>{0, 1, 2, 3, 5, 6, 7, 8})) << "type 4 is empty and absent";
  EXPECT_GE(expected.size(), 7u + 1 + 7 - 1);
  for (size_t n : list.arrays) EXPECT_LE(n, 100u);

  // Items of a user album, of the favourites (one was marked only in the write-ahead log)
  // and of the trash.
  const FarmAlbum* user = nullptr;
  for (const FarmAlbum& e : expected) {
    if (e.type == 0 && (user == nullptr || e.count > user->count)) user = &e;
  }
  ASSERT_NE(user, nullptr);
  EXPECT_TRUE(fs::exists(db.string() + "-wal"));
  const std::string member = "a.Z_PK IN (SELECT Z_3ASSETS FROM Z_26ASSETS WHERE Z_26ALBUMS = " +
                             std::to_string(user->key) + ") AND a.ZTRASHEDSTATE = 0";
  ExpectPhotos(Run(402, udid, "{\"album_id\":" + std::to_string(user->key) + ",\"album_type\":0}"),
               FarmAssets(udid, "ZASSET", member, false), false);
  ExpectPhotos(Run(402, udid, "{\"album_id\":0,\"album_type\":2}"),
               FarmAssets(udid, "ZASSET", "a.ZFAVORITE = 1 AND a.ZTRASHEDSTATE = 0", false), false);
  ExpectPhotos(Run(402, udid, "{\"album_id\":0,\"album_type\":5}"),
               FarmAssets(udid, "ZASSET", "a.ZTRASHEDSTATE = 1", false), false);

  // A join table with one asset column: its album statements fail, the computed albums
  // still come.
  const PhotoListing partial = Run(401, broken, "");
  ASSERT_EQ(partial.code, 0);
  std::map<std::pair<int64_t, int64_t>, FarmAlbum> computed = SentAlbums(partial);
  std::set<int64_t> partial_types;
  for (const auto& [key, album] : computed) partial_types.insert(album.type);
  EXPECT_EQ(partial_types.count(0), 0u);
  EXPECT_EQ(partial_types.count(1), 0u);
  EXPECT_EQ(partial_types.count(2), 1u);
  EXPECT_EQ(partial_types.count(6), 1u);
  // The failed album statements are in the agent's log (errors are written at once).
  std::string log;
  for (const auto& entry : fs::recursive_directory_iterator(sim_.dir())) {
    if (entry.is_regular_file() && entry.path().filename().string().find(".log") != std::string::npos) {
      log += ReadBytes(entry.path());
    }
  }
  EXPECT_NE(log.find("GetAlbumListFromQueryDb_1 Fail: "), std::string::npos);
  EXPECT_NE(log.find("GetAlbumListFromQueryDb_0 Fail: "), std::string::npos);
}

TEST_F(PhotoTest, AlbumsOfTheOlderSchema) {
  const std::string udid = AddPhotos(81, "5.1.1", 90, 3);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  const PhotoListing list = Run(401, udid, "");
  ASSERT_EQ(list.code, 0);
  std::map<std::pair<int64_t, int64_t>, FarmAlbum> sent = SentAlbums(list);
  size_t expected = 0;
  EachFarmRow(FarmDb(udid),
              "SELECT al.primaryKey, al.title, al.kind, count(*) FROM PhotoAlbum al JOIN"
              " PhotoAlbumToPhotoJoin j ON j.left = al.primaryKey WHERE al.kind = 1000 OR"
              " al.title IS NOT NULL GROUP BY al.primaryKey",
              [&](sqlite3_stmt* s) {
                ++expected;
                const int64_t kind = sqlite3_column_int64(s, 2);
                auto it = sent.find({kind == 1000 ? 1 : 0, sqlite3_column_int64(s, 0)});
                ASSERT_NE(it, sent.end());
                EXPECT_EQ(it->second.title, Text(s, 1));
                EXPECT_EQ(it->second.count, sqlite3_column_int64(s, 3));
              });
  EXPECT_EQ(sent.size(), expected);
  ExpectPhotos(Run(402, udid, "{\"album_id\":1,\"album_type\":0}"),
               FarmPhotos(udid, "SELECT p.primaryKey, p.directory || '/' || p.filename, p.type,"
                                " p.orientation, p.captureTime, p.recordModDate, 0 FROM Photo p"
                                " JOIN PhotoAlbumToPhotoJoin j ON j.right = p.primaryKey WHERE"
                                " j.left = 1"),
               false);
}

TEST_F(PhotoTest, ThumbnailsFromEachPlaceWithJsonInfo) {
  const std::string udid = AddPhotos(91, "17.5.1", 20, 1);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  const fs::path media = Media(udid);
  std::map<int64_t, std::string> paths;
  EachFarmRow(FarmDb(udid), "SELECT Z_PK, ZDIRECTORY || '/' || ZFILENAME FROM ZASSET",
              [&](sqlite3_stmt* s) { paths[sqlite3_column_int64(s, 0)] = Text(s, 1); });
  // Where the farm put each item's thumbnail: device path to bytes.
  std::map<std::string, std::string> thumbnail_files;
  for (auto it = fs::recursive_directory_iterator(media); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = "/" + fs::relative(it->path(), media).string();
    if (it->is_regular_file() && (rel.rfind("/DCIM/.THMB/", 0) == 0 || rel.rfind("/PhotoData/Metadata/", 0) == 0 ||
                                  rel.rfind("/PhotoData/Thumbnails/", 0) == 0)) {
      thumbnail_files[rel] = ReadBytes(it->path());
    }
  }
  auto expected_for = [&](const std::string& path) -> std::string {
    const std::string stem = "/PhotoData/Metadata/" + path.substr(0, path.rfind('.') + 1);
    std::string key = path.substr(5);
    key.replace(key.find('/'), 1, "___");
    for (const auto& [place, bytes] : thumbnail_files) {
      if ((place.rfind("/DCIM/.THMB/", 0) == 0 && place.find("/" + key + ".") != std::string::npos) ||
          place == stem + "JPG" || place == stem + "THM" ||
          place == "/PhotoData/Thumbnails/V2/" + path + "/5003.JPG") {
        return place;
      }
    }
    return {};
  };
  // Items 1-9: each place, and item 9 has none. An identifier with a quote and a path
  // that climbs out of the media root come last.
  std::string body = "{";
  std::map<std::string, std::string> wanted;  // id to expected device path ("" for none)
  for (int64_t key = 1; key <= 9; ++key) {
    const std::string id = key == 2 ? "id \"2\"" : std::to_string(key);
    body += JsonQuote(id) + ":" + JsonQuote(paths[key]) + ",";
    wanted[id] = expected_for(paths[key]);
  }
  body += "\"escape\":\"../../../etc/passwd\"}";
  std::set<std::string> places;
  for (const auto& [id, place] : wanted) {
    if (place.empty()) continue;
    places.insert(place.substr(0, 15));
  }
  EXPECT_GE(places.size(), 3u) << "thumbnails from the three places";
  EXPECT_EQ(wanted["9"], "") << "item 9 has no thumbnail";
  EXPECT_EQ(wanted["1"].rfind("/DCIM/.THMB/", 0), 0u) << wanted["1"];

  PhotoListing run = Run(403, udid, "", body);
  ASSERT_EQ(run.code, 0);
  std::map<std::string, std::string> got;
  for (const Seen* s : run.data) {
    if (!s->header.IsObject() || !s->header.HasMember("type") || s->header["type"].GetInt() != 1) continue;
    rapidjson::Document info;
    ASSERT_TRUE(s->header["info"].IsObject()) << "info is a JSON object";
    ASSERT_TRUE(s->header["info"]["id"].IsString());
    const std::string id = s->header["info"]["id"].GetString();
    const std::string place = s->header["info"]["path"].GetString();
    EXPECT_EQ(place, wanted[id]) << id;
    EXPECT_EQ(s->message.body, thumbnail_files[place]) << id;
    got[id] = place;
  }
  size_t with_thumbnail = 0;
  for (const auto& [id, place] : wanted) with_thumbnail += place.empty() ? 0 : 1;
  EXPECT_EQ(got.size(), with_thumbnail);
  EXPECT_EQ(got.count("9"), 0u);
  EXPECT_EQ(got.count("escape"), 0u);
  EXPECT_EQ(Run(403, udid, "", "not json").code, 8);

  // A thumbnail past the size bound is skipped, not read.
  fs::resize_file(media / wanted["1"].substr(1), 33u << 20);
  PhotoListing big = Run(403, udid, "", "{\"1\":" + JsonQuote(paths[1]) + "}");
  EXPECT_EQ(big.code, 0);
  for (const Seen* s : big.data) {
    EXPECT_FALSE(s->header.IsObject() && s->header.HasMember("type") && s->header["type"].GetInt() == 1);
  }
}

TEST_F(PhotoTest, DeletionThroughTheDirectoryCameraDriver) {
  const std::string udid = AddPhotos(101, "16.6", 12, 1);
  const fs::path dcim = Media(udid) / "DCIM";
  setenv("VADO_PHOTO_PORT", ("disk:" + dcim.string()).c_str(), 1);
  StartAll();
  unsetenv("VADO_PHOTO_PORT");
  ASSERT_NE(WaitArrival(udid), 0);
  const fs::path target = dcim / "100APPLE/IMG_1003.MOV";
  ASSERT_TRUE(fs::exists(target));
  EXPECT_EQ(Run(404, udid, "", "{\"name\":\"IMG_1003\"}").code, 0);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_TRUE(fs::exists(dcim / "100APPLE/IMG_1004.JPG"));
  EXPECT_EQ(Run(404, udid, "", "{\"name\":\"IMG_1003\"}").code, 1);
  EXPECT_EQ(Run(404, udid, "", "{\"name\":\"NO_SUCH_PHOTO\"}").code, 1);
  EXPECT_EQ(Run(404, udid, "", "[1]").code, 8);
}

TEST_F(PhotoTest, CancelStopsTheLibraryCopyOnASlowLinkWithinTwoSeconds) {
  const std::string udid = AddPhotos(131, "12.4", 3000, 2);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  ASSERT_GT(fs::file_size(FarmDb(udid)), 500000u);
  ASSERT_EQ(sim_.Control({"fault", udid, "cap-bandwidth", "50000"}).status, 0);
  SendWithHeader(400, 8001, "{\"uuid\":" + JsonQuote(udid) + ",\"info\":{\"refresh\":true}}");
  WaitFor([](const Seen&) { return false; }, 1500ms);
  ASSERT_EQ(WaitForResult(8001, nullptr, 10ms), nullptr) << "the copy is still running";
  ExpectCancelledInTime(udid, 8001, 8002);
  ASSERT_EQ(sim_.Control({"fault", udid, "clear"}).status, 0);
}

TEST_F(PhotoTest, FailuresAndRequestsThatDoNoWork) {
  const std::string udid = AddPhotos(111, "12.4", 30, 1);
  const std::string locked = AddPhotos(112, "12.4", 30, 1);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  ASSERT_NE(WaitArrival(locked), 0);
  // Section count 2: answered 0 without data.
  SendRequest(400, 7001, udid, 0, "", 2);
  std::vector<const Seen*> messages;
  const Seen* result = WaitForResult(7001, &messages, 20s);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  EXPECT_TRUE(messages.empty());
  // A header that is not JSON is not answered; the next request is.
  SendPayload(400, 7002, std::string("1\0{not json\0", 12));
  EXPECT_EQ(WaitFor([](const Seen& s) { return s.message.task_id == 7002; }, 2s), nullptr);
  // A device whose file service does not start.
  ASSERT_EQ(sim_.Control({"lock", locked}).status, 0);
  EXPECT_EQ(Run(400, locked, "").code, 12);
  EXPECT_EQ(Run(403, locked, "", "{\"1\":\"DCIM/100APPLE/IMG_1000.JPG\"}").code, 12);
  // A library that cannot be copied.
  fs::remove(FarmDb(udid));
  EXPECT_EQ(Run(400, udid, "").code, 18);
  EXPECT_EQ(Run(401, udid, "{\"refresh\":true}").code, 18);
}

}  // namespace

namespace {

size_t LineCount(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// vadoctl photos as a person runs it: tables on request, JSON lines otherwise, thumbnails
// written to a folder and a deletion through the directory camera driver.
TEST(VadoctlPhotosTest, ListsAlbumsWritesThumbnailsAndDeletes) {
  devsim::testing::SimHarness sim;
  devsim::DeviceSpec farm_device;
  farm_device.seed = 121;
  farm_device.product_version = "16.6";
  farm_device.media_files = 1;
  farm_device.photos.photos = 40;
  farm_device.photos.albums = 3;
  const std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  const fs::path media = sim.farm_dir() / "devices" / udid / "fs/private/var/mobile/Media";
  int64_t visible = 0;
  EachFarmRow(media / "PhotoData/Photos.sqlite", "SELECT count(*) FROM ZASSET WHERE ZTRASHEDSTATE = 0",
              [&](sqlite3_stmt* s) { visible = sqlite3_column_int64(s, 0); });

  auto vadoctl = [&](std::vector<std::string> args) {
    std::vector<std::string> argv = {VADO_VADOCTL_PATH, "--no-simulator", "--udid", udid, "photos"};
    argv.insert(argv.end(), args.begin(), args.end());
    return sim.Run(argv, 50);
  };
  devsim::testing::ToolResult list = vadoctl({"list", "--json"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(LineCount(list.out), static_cast<size_t>(visible));
  devsim::testing::ToolResult albums = vadoctl({"albums", "--readable"});
  ASSERT_EQ(albums.status, 0) << albums.err;
  EXPECT_EQ(albums.out.rfind("ID", 0), 0u) << albums.out;
  EXPECT_NE(albums.out.find("Holidays"), std::string::npos) << albums.out;
  EXPECT_NE(albums.out.find("favourites"), std::string::npos) << albums.out;
  devsim::testing::ToolResult favourites = vadoctl({"album", "0", "--type", "2", "--json"});
  ASSERT_EQ(favourites.status, 0) << favourites.err;
  EXPECT_GT(LineCount(favourites.out), 0u);

  const fs::path out = sim.dir() / "thumbs";
  devsim::testing::ToolResult thumbs = vadoctl({"thumbs", "2", "4", "--out", out.string()});
  ASSERT_EQ(thumbs.status, 0) << thumbs.err;
  EXPECT_EQ(ReadBytes(out / "2.JPG"), ReadBytes(media / "PhotoData/Metadata/DCIM/100APPLE/IMG_1001.JPG"));
  EXPECT_EQ(ReadBytes(out / "4.JPG"),
            ReadBytes(media / "PhotoData/Thumbnails/V2/DCIM/100APPLE/IMG_1003.MOV/5003.JPG"));

  setenv("VADO_PHOTO_PORT", ("disk:" + (media / "DCIM").string()).c_str(), 1);
  devsim::testing::ToolResult deleted = vadoctl({"delete", "IMG_1007"});
  devsim::testing::ToolResult missing = vadoctl({"delete", "IMG_9999"});
  unsetenv("VADO_PHOTO_PORT");
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_FALSE(fs::exists(media / "DCIM/100APPLE/IMG_1007.MP4"));
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(vadoctl({"album"}).status, 2);
}

}  // namespace

namespace {

TEST(PhotoPaths, AssetTableAndVersionParts) {
  EXPECT_STREQ(PhotoAssetTable("13.7"), "ZGENERICASSET");
  EXPECT_STREQ(PhotoAssetTable("14.2"), "ZASSET");
  EXPECT_STREQ(PhotoAssetTable("16.6.1"), "ZASSET");
  EXPECT_STREQ(PhotoAssetTable("9.3.5"), "ZGENERICASSET");
  EXPECT_EQ(ProductVersionParts("16.6"), (std::vector<int64_t>{16, 6}));
  EXPECT_EQ(ProductVersionParts("4.x."), (std::vector<int64_t>{4, -1, -1}));
  EXPECT_LE(ProductVersionParts("1.2.3.4.5.6.7.8.9.10").size(), 8u);
}

TEST(PhotoPaths, ThumbnailPlacesKeysAndRefusedPaths) {
  EXPECT_EQ(ThumbnailKey("DCIM/100APPLE/IMG_0001.JPG"), "100APPLE___IMG_0001.JPG");
  EXPECT_EQ(ThumbnailKey("PhotoData/Sync/100SYNCD/IMG_1.JPG"), "100SYNCD___IMG_1.JPG");
  EXPECT_EQ(ThumbnailKey("PhotoData/CPLAssets/group4/A.HEIC"), "group4___A.HEIC");
  EXPECT_EQ(ThumbnailKey("PhotoData/CMMAssets/x/B.MOV"), "x___B.MOV");
  EXPECT_EQ(ThumbnailKey("Downloads/C.JPG"), "");
  EXPECT_EQ(ThumbnailCandidates("DCIM/100APPLE/IMG_0001.jpg", 1478673916),
            (std::vector<std::string>{
                "/DCIM/.THMB/16/100APPLE___IMG_0001.jpg.1478673916",
                "/PhotoData/Metadata/DCIM/100APPLE/IMG_0001.JPG",
                "/PhotoData/Metadata/DCIM/100APPLE/IMG_0001.THM",
                "/PhotoData/Thumbnails/V2/DCIM/100APPLE/IMG_0001.jpg/5003.JPG"}));
  // Other extensions have only the desktop cache; a path outside the known folders uses
  // an empty key there.
  EXPECT_EQ(ThumbnailCandidates("Downloads/readme.txt", 5),
            (std::vector<std::string>{"/DCIM/.THMB/05/.5"}));
  EXPECT_EQ(MediaRootPath("DCIM/a.JPG"), "/DCIM/a.JPG");
  EXPECT_EQ(MediaRootPath("/DCIM/../../etc/passwd"), "");
  EXPECT_EQ(MediaRootPath(".."), "");
  EXPECT_EQ(MediaRootPath(std::string_view("DCIM/\0x", 7)), "");
  for (const std::string& place : ThumbnailCandidates("DCIM/../../x.JPG", 7)) {
    EXPECT_EQ(place.find("/../"), std::string::npos) << place;
  }
  rapidjson::Document info;
  info.Parse(ThumbnailInfo("a\"b\\", "/DCIM/\"q\".JPG").c_str());
  ASSERT_TRUE(info.IsObject());
  EXPECT_STREQ(info["id"].GetString(), "a\"b\\");
  EXPECT_STREQ(info["path"].GetString(), "/DCIM/\"q\".JPG");
}

}  // namespace
