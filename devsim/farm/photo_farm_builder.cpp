#include "farm/photo_farm_builder.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <random>
#include <vector>

#include "farm/farm_sqlite.h"
#include "services/apps/png_writer.h"

namespace devsim {

namespace {

// An 8x8 greyscale baseline JPEG (libjpeg, quality 10). Each generated file gets its own
// comment segment after the start marker, so files differ while staying valid.
constexpr char kTinyJpeg[] =
    "\xFF\xD8\xFF\xDB\x00\x43\x00\x50\x37\x3C\x46\x3C\x32\x50\x46\x41\x46\x5A\x55\x50"
    "\x5F\x78\xC8\x82\x78\x6E\x6E\x78\xF5\xAF\xB9\x91\xC8\xFF\xFF\xFF\xFF\xFF\xFF\xFF"
    "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"
    "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xC0\x00\x0B\x08\x00\x08\x00\x08"
    "\x01\x01\x11\x00\xFF\xC4\x00\x14\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x04\xFF\xC4\x00\x16\x10\x01\x01\x01\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x03\x00\x12\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00"
    "\x39\x1E\xEF\xFF\xD9";
constexpr size_t kTinyJpegSize = sizeof(kTinyJpeg) - 1;

// Seconds between 1970-01-01 and 2001-01-01, the epoch of the library's dates.
constexpr int64_t kEpoch2001 = 978'307'200;
// 2016-11-05 in 2001-based seconds: the oldest generated photo.
constexpr int64_t kFirstPhotoDate = 500'000'000;

constexpr char kIos5Tables[] =
    "CREATE TABLE Photo (primaryKey INTEGER PRIMARY KEY, type INTEGER, title TEXT,"
    " captureTime TIMESTAMP, width INTEGER, height INTEGER, userRating INTEGER, flagged INTEGER,"
    " thumbnailIndex INTEGER, orientation INTEGER, directory TEXT, filename TEXT, duration REAL,"
    " recordModDate TIMESTAMP, savedAssetType INTEGER);"
    "CREATE TABLE PhotoAlbum (primaryKey INTEGER PRIMARY KEY, kind INTEGER, keyPhotoKey INTEGER,"
    " manualSortOrder INTEGER, title TEXT, uid TEXT, slideshowSettings BLOB, objC_class TEXT);"
    "CREATE TABLE PhotoAlbumToPhotoJoin (left INTEGER, right INTEGER);";

// Entity numbers of the album and asset entities, which name the join table and its
// columns; they differ between releases.
struct Entities {
  int album;
  int asset;
};

constexpr Entities kIos6Entities{23, 33};
constexpr Entities kIos14Entities{26, 3};

// One generated asset.
struct PhotoPlan {
  int64_t key = 0;            // primary key, 1-based
  std::string directory;      // "DCIM/100APPLE"
  std::string filename;       // "IMG_1000.JPG"
  int kind = 0;               // 0 photo, 1 video
  int subtype = 0;            // 2 live photo, 10 screenshot
  int playback = 1;           // 1 still, 3 live photo, 4 video
  int avalanche = 0;          // 52 on burst key photos
  int saved_type = 3;
  int trashed = 0;
  int favorite = 0;
  int orientation = 1;
  double created = 0;         // 2001-based seconds
  double modified = 0;
  int64_t recorded_size = 0;  // ZORIGINALFILESIZE (negative on some assets)
};

std::string JpegWithComment(const std::string& comment) {
  std::string bytes(kTinyJpeg, 2);
  const size_t length = comment.size() + 2;
  bytes += "\xFF\xFE";
  bytes += static_cast<char>((length >> 8) & 0xFF);
  bytes += static_cast<char>(length & 0xFF);
  bytes += comment;
  bytes.append(kTinyJpeg + 2, kTinyJpegSize - 2);
  return bytes;
}

// An ISO base media file: a file-type box of `brand` and a media-data box.
std::string IsoMediaFile(const char* brand, const std::string& payload) {
  auto box = [](const char* type, const std::string& body) {
    const uint32_t size = static_cast<uint32_t>(body.size() + 8);
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((size >> shift) & 0xFF);
    out.append(type, 4);
    return out + body;
  };
  std::string ftyp(brand, 4);
  ftyp += std::string("\0\0\0\0", 4);
  ftyp.append(brand, 4);
  ftyp += "mif1";
  return box("ftyp", ftyp) + box("mdat", payload);
}

std::string MediaBytes(const PhotoPlan& plan, std::mt19937_64& rng) {
  const std::string tag = "vado-devsim photo " + std::to_string(plan.key);
  const std::string ext = plan.filename.substr(plan.filename.rfind('.') + 1);
  if (ext == "PNG") {
    std::string rgba(8 * 8 * 4, '\0');
    const uint64_t colour = rng();
    for (size_t p = 0; p < 64; ++p) {
      rgba[p * 4] = static_cast<char>(colour & 0xFF);
      rgba[p * 4 + 1] = static_cast<char>((colour >> 8) + p);
      rgba[p * 4 + 2] = static_cast<char>(colour >> 16);
      rgba[p * 4 + 3] = '\xFF';
    }
    return EncodePng(8, 8, rgba);
  }
  if (ext == "HEIC") return IsoMediaFile("heic", tag);
  if (ext == "MOV") return IsoMediaFile("qt  ", tag);
  if (ext == "MP4") return IsoMediaFile("isom", tag);
  return JpegWithComment(tag);
}

bool WriteMediaFile(const fs::path& path, const std::string& bytes, int64_t unix_time) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) return false;
  }
  const timespec times[2] = {{unix_time, 0}, {unix_time, 0}};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::vector<PhotoPlan> PlanPhotos(uint64_t count, std::mt19937_64& rng) {
  // Dates are dealt out in a shuffled order, so newest first is not key order.
  std::vector<int64_t> slots(count);
  std::iota(slots.begin(), slots.end(), 0);
  std::shuffle(slots.begin(), slots.end(), rng);
  std::vector<PhotoPlan> plans(count);
  for (uint64_t i = 0; i < count; ++i) {
    PhotoPlan& p = plans[i];
    p.key = static_cast<int64_t>(i) + 1;
    char folder[32];
    std::snprintf(folder, sizeof folder, "DCIM/%03lluAPPLE",
                  static_cast<unsigned long long>(100 + i / 1000));
    p.directory = folder;
    const char* ext = "JPG";
    switch (i % 10) {
      case 3: ext = "MOV"; p.kind = 1; p.playback = 4; break;
      case 7: ext = "MP4"; p.kind = 1; p.playback = 4; break;
      case 5: ext = "PNG"; p.subtype = 10; break;
      case 8: ext = "HEIC"; p.subtype = 2; p.playback = 3; break;
      default: break;
    }
    if (i % 20 == 0) p.avalanche = 52;
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04llu.%s",
                  static_cast<unsigned long long>(1000 + i % 1000), ext);
    p.filename = name;
    if (i % 17 == 6) p.saved_type = 256;
    if (i % 29 == 8) p.saved_type = 8;
    p.trashed = i % 13 == 4 ? 1 : 0;
    p.favorite = i % 7 == 2 ? 1 : 0;
    p.orientation = i % 9 == 1 ? 6 : 1;
    p.created = static_cast<double>(kFirstPhotoDate + slots[i] * 3600 +
                                    static_cast<int64_t>(rng() % 1800)) +
                0.25 * static_cast<double>(i % 4);
    p.modified = p.created + static_cast<double>(rng() % 86400);
  }
  return plans;
}

// The album a photo belongs to: user album k (0-based) holds the photos whose index modulo
// k + 2 is 1, so albums overlap and their sizes differ.
bool InUserAlbum(uint64_t photo, uint64_t album) { return photo % (album + 2) == 1; }
bool InKind1000Album(uint64_t photo) { return photo % 3 == 0; }

const char* const kAlbumTitles[] = {
    "Holidays",
    "Vacances d'\xC3\xA9t\xC3\xA9",
    "Family \xF0\x9F\x8E\x89",
    "\xE5\xAE\xB6\xE6\x97\x8F",
    "Say \"cheese\"",
    "Receipts",
};
constexpr size_t kAlbumTitleCount = sizeof(kAlbumTitles) / sizeof(kAlbumTitles[0]);

std::string AlbumTitle(uint64_t k) {
  std::string title = kAlbumTitles[k % kAlbumTitleCount];
  if (k >= kAlbumTitleCount) title += " " + std::to_string(k / kAlbumTitleCount + 1);
  return title;
}

bool WriteIos5(sqlite3* db, const std::vector<PhotoPlan>& plans, uint64_t albums,
               std::string* error) {
  if (!FarmExec(db, kIos5Tables, error)) return false;
  FarmStmt photo, album, join;
  if (!FarmPrepare(db, "INSERT INTO Photo (primaryKey, type, captureTime, width, height, "
                        "orientation, directory, filename, recordModDate, savedAssetType) "
                        "VALUES (?1, ?2, ?3, 8, 8, ?4, ?5, ?6, ?7, ?8)", &photo, error) ||
      !FarmPrepare(db, "INSERT INTO PhotoAlbum (primaryKey, kind, title, uid) "
                        "VALUES (?1, ?2, ?3, ?4)", &album, error) ||
      !FarmPrepare(db, "INSERT INTO PhotoAlbumToPhotoJoin (left, right) VALUES (?1, ?2)",
                    &join, error)) {
    return false;
  }
  for (const PhotoPlan& p : plans) {
    sqlite3_bind_int64(photo.handle, 1, p.key);
    sqlite3_bind_int(photo.handle, 2, p.kind);
    sqlite3_bind_double(photo.handle, 3, p.created);
    sqlite3_bind_int(photo.handle, 4, p.orientation);
    FarmBindText(photo.handle, 5, p.directory);
    FarmBindText(photo.handle, 6, p.filename);
    sqlite3_bind_double(photo.handle, 7, p.modified);
    sqlite3_bind_int(photo.handle, 8, p.saved_type);
    if (!FarmStepDone(db, photo.handle, error)) return false;
  }
  // User albums 1..M, the camera roll (kind 1000) and an untitled album.
  auto add_album = [&](int64_t key, int kind, const std::string* title) {
    sqlite3_bind_int64(album.handle, 1, key);
    sqlite3_bind_int(album.handle, 2, kind);
    if (title != nullptr) FarmBindText(album.handle, 3, *title);
    FarmBindText(album.handle, 4, "album-" + std::to_string(key));
    return FarmStepDone(db, album.handle, error);
  };
  auto add_member = [&](int64_t album_key, int64_t photo_key) {
    sqlite3_bind_int64(join.handle, 1, album_key);
    sqlite3_bind_int64(join.handle, 2, photo_key);
    return FarmStepDone(db, join.handle, error);
  };
  for (uint64_t k = 0; k < albums; ++k) {
    const std::string title = AlbumTitle(k);
    if (!add_album(static_cast<int64_t>(k) + 1, 2, &title)) return false;
    for (uint64_t i = 0; i < plans.size(); ++i) {
      if (InUserAlbum(i, k) && !add_member(static_cast<int64_t>(k) + 1, plans[i].key)) return false;
    }
  }
  const std::string roll = "Camera Roll";
  const int64_t roll_key = static_cast<int64_t>(albums) + 1;
  if (!add_album(roll_key, 1000, &roll) || !add_album(roll_key + 1, 2, nullptr)) return false;
  for (uint64_t i = 0; i < plans.size(); ++i) {
    if (InKind1000Album(i) && !add_member(roll_key, plans[i].key)) return false;
    if (i % 5 == 2 && !add_member(roll_key + 1, plans[i].key)) return false;
  }
  return true;
}

// The iOS 6+ tables. Without `full_columns` (iOS 6 and 7) the asset table lacks the
// trash, favourite and subtype columns.
std::string Ios6Tables(const std::string& asset_table, const Entities& e, bool full_columns) {
  const std::string album_column = "Z_" + std::to_string(e.album) + "ALBUMS";
  const std::string asset_column = "Z_" + std::to_string(e.asset) + "ASSETS";
  std::string sql =
      "CREATE TABLE " + asset_table +
      " (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZKIND INTEGER," +
      (full_columns ? " ZKINDSUBTYPE INTEGER," : "") +
      " ZSAVEDASSETTYPE INTEGER, ZORIENTATION INTEGER, ZPLAYBACKSTYLE INTEGER,"
      " ZAVALANCHEPICKTYPE INTEGER," +
      (full_columns ? " ZTRASHEDSTATE INTEGER, ZFAVORITE INTEGER," : "") +
      " ZHIDDEN INTEGER, ZADDITIONALATTRIBUTES INTEGER, ZDATECREATED TIMESTAMP,"
      " ZMODIFICATIONDATE TIMESTAMP, ZTRASHEDDATE TIMESTAMP, ZDIRECTORY VARCHAR,"
      " ZFILENAME VARCHAR, ZUUID VARCHAR, ZWIDTH INTEGER, ZHEIGHT INTEGER, ZDURATION FLOAT);"
      "CREATE TABLE ZADDITIONALASSETATTRIBUTES (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER,"
      " Z_OPT INTEGER, ZASSET INTEGER, ZORIGINALFILESIZE INTEGER, ZORIGINALFILENAME VARCHAR,"
      " ZORIGINALWIDTH INTEGER, ZORIGINALHEIGHT INTEGER, ZTIMEZONENAME VARCHAR);"
      "CREATE TABLE ZGENERICALBUM (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER,"
      " ZKIND INTEGER," +
      (full_columns ? " ZTRASHEDSTATE INTEGER," : "") +
      " ZTITLE VARCHAR, ZUUID VARCHAR, ZCACHEDCOUNT INTEGER, ZKEYASSET INTEGER,"
      " ZPARENTFOLDER INTEGER);"
      "CREATE TABLE Z_" + std::to_string(e.album) + "ASSETS ( " + album_column + " INTEGER, " +
      asset_column + " INTEGER, Z_FOK_" + std::to_string(e.asset) + "ASSETS INTEGER,"
      " PRIMARY KEY (" + album_column + ", " + asset_column + ") );"
      "CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER,"
      " Z_MAX INTEGER);";
  return sql;
}

bool WriteIos6(sqlite3* db, const std::vector<PhotoPlan>& plans,
               const std::vector<int64_t>& file_sizes, uint64_t albums,
               const std::string& asset_table, const Entities& e, bool full_columns,
               std::mt19937_64& rng, std::string* error) {
  if (!FarmExec(db, Ios6Tables(asset_table, e, full_columns), error)) return false;
  FarmStmt asset, attributes, album, join;
  const std::string asset_sql =
      full_columns
          ? "INSERT INTO " + asset_table +
                " (Z_PK, Z_ENT, Z_OPT, ZKIND, ZKINDSUBTYPE, ZSAVEDASSETTYPE, ZORIENTATION,"
                " ZPLAYBACKSTYLE, ZAVALANCHEPICKTYPE, ZHIDDEN, ZADDITIONALATTRIBUTES,"
                " ZDATECREATED, ZMODIFICATIONDATE, ZDIRECTORY, ZFILENAME, ZUUID, ZWIDTH,"
                " ZHEIGHT, ZDURATION, ZTRASHEDSTATE, ZFAVORITE, ZTRASHEDDATE) VALUES (?1, " +
                std::to_string(e.asset) +
                ", 1, ?2, ?3, ?4, ?5, ?6, ?7, 0, ?1, ?8, ?9, ?10, ?11, ?12, 8, 8, ?13, ?14,"
                " ?15, ?16)"
          : "INSERT INTO " + asset_table +
                " (Z_PK, Z_ENT, Z_OPT, ZKIND, ZSAVEDASSETTYPE, ZORIENTATION,"
                " ZPLAYBACKSTYLE, ZAVALANCHEPICKTYPE, ZHIDDEN, ZADDITIONALATTRIBUTES,"
                " ZDATECREATED, ZMODIFICATIONDATE, ZDIRECTORY, ZFILENAME, ZUUID, ZWIDTH,"
                " ZHEIGHT, ZDURATION) VALUES (?1, " +
                std::to_string(e.asset) +
                ", 1, ?2, ?4, ?5, ?6, ?7, 0, ?1, ?8, ?9, ?10, ?11, ?12, 8, 8, ?13)";
  const std::string join_sql = "INSERT INTO Z_" + std::to_string(e.album) + "ASSETS VALUES (?1, ?2, ?3)";
  if (!FarmPrepare(db, asset_sql, &asset, error) ||
      !FarmPrepare(db, "INSERT INTO ZADDITIONALASSETATTRIBUTES (Z_PK, Z_ENT, Z_OPT, ZASSET,"
                        " ZORIGINALFILESIZE, ZORIGINALFILENAME, ZORIGINALWIDTH, ZORIGINALHEIGHT,"
                        " ZTIMEZONENAME) VALUES (?1, 1, 1, ?1, ?2, ?3, 8, 8, 'Europe/Paris')",
                    &attributes, error) ||
      !FarmPrepare(db, full_columns
                            ? "INSERT INTO ZGENERICALBUM (Z_PK, Z_ENT, Z_OPT, ZKIND, ZTITLE, ZUUID,"
                              " ZCACHEDCOUNT, ZTRASHEDSTATE) VALUES (?1, " + std::to_string(e.album) +
                                  ", 1, ?2, ?3, ?4, ?5, ?6)"
                            : "INSERT INTO ZGENERICALBUM (Z_PK, Z_ENT, Z_OPT, ZKIND, ZTITLE, ZUUID,"
                              " ZCACHEDCOUNT) VALUES (?1, " + std::to_string(e.album) +
                                  ", 1, ?2, ?3, ?4, ?5)",
                    &album, error) ||
      !FarmPrepare(db, join_sql, &join, error)) {
    return false;
  }
  for (size_t i = 0; i < plans.size(); ++i) {
    const PhotoPlan& p = plans[i];
    sqlite3_bind_int64(asset.handle, 1, p.key);
    sqlite3_bind_int(asset.handle, 2, p.kind);
    sqlite3_bind_int(asset.handle, 3, p.subtype);
    sqlite3_bind_int(asset.handle, 4, p.saved_type);
    sqlite3_bind_int(asset.handle, 5, p.orientation);
    sqlite3_bind_int(asset.handle, 6, p.playback);
    sqlite3_bind_int(asset.handle, 7, p.avalanche);
    sqlite3_bind_double(asset.handle, 8, p.created);
    sqlite3_bind_double(asset.handle, 9, p.modified);
    FarmBindText(asset.handle, 10, p.directory);
    FarmBindText(asset.handle, 11, p.filename);
    FarmBindText(asset.handle, 12, FarmUuid(rng));
    sqlite3_bind_double(asset.handle, 13, p.kind == 1 ? 3.5 : 0.0);
    sqlite3_bind_int(asset.handle, 14, p.trashed);
    sqlite3_bind_int(asset.handle, 15, p.favorite);
    if (p.trashed) sqlite3_bind_double(asset.handle, 16, p.modified + 60);
    if (!FarmStepDone(db, asset.handle, error)) return false;
    sqlite3_bind_int64(attributes.handle, 1, p.key);
    // Some libraries hold no size for an asset (-1); readers then ask the file itself.
    sqlite3_bind_int64(attributes.handle, 2, i % 23 == 9 ? -1 : file_sizes[i]);
    FarmBindText(attributes.handle, 3, p.filename);
    if (!FarmStepDone(db, attributes.handle, error)) return false;
  }
  int64_t next_album = 1;
  auto add_album = [&](int kind, const std::string* title, int trashed, int64_t members) {
    sqlite3_bind_int64(album.handle, 1, next_album);
    sqlite3_bind_int(album.handle, 2, kind);
    if (title != nullptr) FarmBindText(album.handle, 3, *title);
    FarmBindText(album.handle, 4, FarmUuid(rng));
    sqlite3_bind_int64(album.handle, 5, members);
    if (full_columns) sqlite3_bind_int(album.handle, 6, trashed);
    if (!FarmStepDone(db, album.handle, error)) return int64_t{0};
    return next_album++;
  };
  int64_t order = 1;
  auto add_member = [&](int64_t album_key, int64_t photo_key) {
    sqlite3_bind_int64(join.handle, 1, album_key);
    sqlite3_bind_int64(join.handle, 2, photo_key);
    sqlite3_bind_int64(join.handle, 3, 1024 * order++);
    return FarmStepDone(db, join.handle, error);
  };
  for (uint64_t k = 0; k < albums; ++k) {
    const std::string title = AlbumTitle(k);
    const int64_t key = add_album(2, &title, 0, 0);
    if (key == 0) return false;
    for (uint64_t i = 0; i < plans.size(); ++i) {
      if (InUserAlbum(i, k) && !add_member(key, plans[i].key)) return false;
    }
  }
  // The kind-1000 album, a trashed user album, an untitled folder and an empty album.
  const std::string roll = "Camera Roll";
  const std::string old_trip = "Old trip";
  const std::string empty = "Empty album";
  const int64_t roll_key = add_album(1000, &roll, 0, 0);
  const int64_t trashed_key = full_columns ? add_album(2, &old_trip, 1, 0) : -1;
  if (roll_key == 0 || trashed_key == 0 || add_album(4000, nullptr, 0, 0) == 0 ||
      add_album(2, &empty, 0, 0) == 0) {
    return false;
  }
  for (uint64_t i = 0; i < plans.size(); ++i) {
    if (InKind1000Album(i) && !add_member(roll_key, plans[i].key)) return false;
    if (trashed_key > 0 && i % 5 == 2 && !add_member(trashed_key, plans[i].key)) return false;
  }
  return FarmExec(db,
                   "INSERT INTO Z_PRIMARYKEY VALUES (" + std::to_string(e.asset) + ", 'Asset', 0, " +
                       std::to_string(plans.size()) + "), (" + std::to_string(e.album) +
                       ", 'GenericAlbum', 0, " + std::to_string(next_album - 1) + ")",
                   error);
}

// Small thumbnails for the first photos, spread over the places readers look: the
// desktop cache under DCIM/.THMB, the metadata previews (.JPG and .THM) and the per-asset
// folder of later releases. Every ninth photo gets none.
bool WriteThumbnails(const fs::path& media, const std::vector<PhotoPlan>& plans,
                     const std::vector<int64_t>& mtimes) {
  const size_t count = std::min<size_t>(plans.size(), kMaxFarmThumbnails);
  for (size_t i = 0; i < count; ++i) {
    if (i % 9 == 8) continue;
    const PhotoPlan& p = plans[i];
    const std::string path = p.directory + "/" + p.filename;
    const std::string stem = path.substr(0, path.rfind('.') + 1);
    std::string place;
    switch (i % 4) {
      case 0: {
        std::string key = path.substr(5);  // after "DCIM/"
        for (size_t at = key.find('/'); at != std::string::npos; at = key.find('/', at + 3)) {
          key.replace(at, 1, "___");
        }
        char folder[32];
        std::snprintf(folder, sizeof folder, "DCIM/.THMB/%02lld/",
                      static_cast<long long>(mtimes[i] % 100));
        place = folder + key + "." + std::to_string(mtimes[i]);
        break;
      }
      case 1: place = "PhotoData/Metadata/" + stem + "JPG"; break;
      case 2: place = "PhotoData/Metadata/" + stem + "THM"; break;
      default: place = "PhotoData/Thumbnails/V2/" + path + "/5003.JPG"; break;
    }
    const std::string bytes = JpegWithComment("thumbnail " + std::to_string(p.key) + " " + place);
    if (!WriteMediaFile(media / place, bytes, mtimes[i])) return false;
  }
  return true;
}

int PhotoFirmwareMajor(const std::string& version) { return std::atoi(version.c_str()); }

}  // namespace

bool ParsePhotoSchema(const std::string& text, PhotoSchema* out) {
  if (text == "ios5") *out = PhotoSchema::kIos5;
  else if (text == "ios6") *out = PhotoSchema::kIos6;
  else if (text == "ios14") *out = PhotoSchema::kIos14;
  else return false;
  return true;
}

bool WritePhotoLibrary(const fs::path& fsroot, const std::string& product_version,
                       const PhotoContentSpec& content, uint64_t seed, std::string* error) {
  if (content.photos == 0) return true;
  const int major = PhotoFirmwareMajor(product_version);
  PhotoSchema schema = content.schema;
  if (schema == PhotoSchema::kByFirmware) {
    schema = major <= 5 ? PhotoSchema::kIos5 : major < 14 ? PhotoSchema::kIos6 : PhotoSchema::kIos14;
  }
  const fs::path media = fsroot / "private/var/mobile/Media";
  std::mt19937_64 rng(seed * 0xD6E8FEB86659FD93ull + 31337);
  const std::vector<PhotoPlan> plans = PlanPhotos(content.photos, rng);
  std::vector<int64_t> sizes(plans.size());
  std::vector<int64_t> mtimes(plans.size());
  for (size_t i = 0; i < plans.size(); ++i) {
    const std::string bytes = MediaBytes(plans[i], rng);
    sizes[i] = static_cast<int64_t>(bytes.size());
    mtimes[i] = kEpoch2001 + static_cast<int64_t>(plans[i].modified);
    if (!WriteMediaFile(media / plans[i].directory / plans[i].filename, bytes, mtimes[i])) {
      *error = "cannot write " + plans[i].directory + "/" + plans[i].filename;
      return false;
    }
  }
  if (!WriteThumbnails(media, plans, mtimes)) {
    *error = "cannot write the photo thumbnails";
    return false;
  }
  const fs::path folder = media / "PhotoData";
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path file = folder / "Photos.sqlite";
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix, ec);
  FarmDb db;
  if (sqlite3_open(file.c_str(), &db.handle) != SQLITE_OK) {
    *error = "cannot create " + file.string();
    return false;
  }
  if (!FarmExec(db.handle, "PRAGMA journal_mode=DELETE; BEGIN", error)) return false;
  bool written = false;
  if (schema == PhotoSchema::kIos5) {
    written = WriteIos5(db.handle, plans, content.albums, error);
  } else {
    const bool full_columns = major < 6 || major >= 8;
    written = schema == PhotoSchema::kIos6
                  ? WriteIos6(db.handle, plans, sizes, content.albums, "ZGENERICASSET",
                              kIos6Entities, full_columns, rng, error)
                  : WriteIos6(db.handle, plans, sizes, content.albums, "ZASSET", kIos14Entities,
                              full_columns, rng, error);
  }
  if (!written || !FarmExec(db.handle, "COMMIT", error)) return false;
  if (schema == PhotoSchema::kIos5 || major < 7) return true;
  // From iOS 7 the library runs in write-ahead mode: the newest change (the last asset
  // marked favourite) is left in Photos.sqlite-wal, as a device that was not checkpointed
  // leaves it, so a reader that copies only the main file misses it.
  const std::string asset_table = schema == PhotoSchema::kIos6 ? "ZGENERICASSET" : "ZASSET";
  const std::string change = major >= 8 ? "UPDATE " + asset_table +
                                              " SET ZFAVORITE = 1 WHERE Z_PK = (SELECT max(Z_PK) FROM " +
                                              asset_table + ")"
                                        : "UPDATE " + asset_table + " SET ZORIENTATION = 3";
  int no_checkpoint = 0;
  if (!FarmExec(db.handle, "PRAGMA journal_mode=WAL", error) ||
      sqlite3_db_config(db.handle, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &no_checkpoint) !=
          SQLITE_OK ||
      !FarmExec(db.handle, change, error)) {
    if (error->empty()) *error = "Photos.sqlite: cannot keep the write-ahead log";
    return false;
  }
  return true;
}

}  // namespace devsim
