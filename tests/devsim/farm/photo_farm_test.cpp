// The farm's photo library: the tables of each schema family, the join table's creation
// text, the write-ahead log of later firmware, valid media files with the library's dates,
// and thumbnails in the places readers look.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "farm/photo_farm_builder.h"

namespace {

namespace fs = std::filesystem;

class PhotoFarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("vado-photofarm-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
  }
  void TearDown() override {
    sqlite3_close(db_);
    fs::remove_all(root_);
  }
  fs::path Media() const { return root_ / "private/var/mobile/Media"; }
  void Build(const std::string& version, uint64_t photos, uint64_t albums,
             devsim::PhotoSchema schema = devsim::PhotoSchema::kByFirmware) {
    devsim::PhotoContentSpec farm_device;
    farm_device.photos = photos;
    farm_device.albums = albums;
    farm_device.schema = schema;
    std::string error;
    ASSERT_TRUE(devsim::WritePhotoLibrary(root_, version, farm_device, 7, &error)) << error;
    sqlite3_close(db_);
    db_ = nullptr;
    ASSERT_EQ(sqlite3_open_v2((Media() / "PhotoData/Photos.sqlite").c_str(), &db_,
                              SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  }
  int64_t Number(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sql;
    int64_t value = -1;
    if (s && sqlite3_step(s) == SQLITE_ROW) value = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return value;
  }
  std::string Text(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sql;
    std::string value;
    if (s && sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0)) {
      value = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    }
    sqlite3_finalize(s);
    return value;
  }
  bool HasTable(const std::string& name) {
    return Number("SELECT count(*) FROM sqlite_master WHERE type='table' AND name='" + name + "'") == 1;
  }
  std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path root_;
  sqlite3* db_ = nullptr;
};

TEST_F(PhotoFarmTest, SchemaFamilyFollowsTheFirmwareOrTheOption) {
  Build("5.1.1", 30, 2);
  EXPECT_TRUE(HasTable("Photo") && HasTable("PhotoAlbum") && HasTable("PhotoAlbumToPhotoJoin"));
  EXPECT_EQ(Number("SELECT count(*) FROM Photo"), 30);
  EXPECT_EQ(Number("SELECT count(*) FROM PhotoAlbum WHERE kind = 1000"), 1);
  EXPECT_FALSE(fs::exists(Media() / "PhotoData/Photos.sqlite-wal"));

  Build("12.4", 30, 2);
  EXPECT_TRUE(HasTable("ZGENERICASSET") && HasTable("ZGENERICALBUM") &&
              HasTable("ZADDITIONALASSETATTRIBUTES") && HasTable("Z_23ASSETS"));
  EXPECT_FALSE(HasTable("ZASSET"));
  // The join table's creation text names the album column, then the asset column.
  const std::string join = Text("SELECT sql FROM sqlite_master WHERE name = 'Z_23ASSETS'");
  EXPECT_LT(join.find("Z_23ALBUMS"), join.find("Z_33ASSETS")) << join;
  EXPECT_EQ(Number("SELECT count(*) FROM sqlite_master WHERE type='table' AND name LIKE 'Z\\_%ASSETS' ESCAPE '\\'"), 1);
  // The attributes row shares its asset's key.
  EXPECT_EQ(Number("SELECT count(*) FROM ZGENERICASSET a JOIN ZADDITIONALASSETATTRIBUTES t ON"
                   " t.Z_PK = a.Z_PK AND t.ZASSET = a.Z_PK"), 30);

  Build("16.6", 30, 2);
  EXPECT_TRUE(HasTable("ZASSET") && HasTable("Z_26ASSETS"));
  EXPECT_FALSE(HasTable("ZGENERICASSET"));

  Build("16.6", 30, 2, devsim::PhotoSchema::kIos5);
  EXPECT_TRUE(HasTable("Photo"));
  EXPECT_FALSE(HasTable("ZASSET"));
}

TEST_F(PhotoFarmTest, EarlyIos6LacksTheProbedColumnsAndLaterOnesKeepAWriteAheadLog) {
  Build("7.1.2", 40, 1);
  const std::string asset = Text("SELECT sql FROM sqlite_master WHERE name = 'ZGENERICASSET'");
  for (const char* column : {"ZTRASHEDSTATE", "ZFAVORITE", "ZKINDSUBTYPE"}) {
    EXPECT_EQ(asset.find(column), std::string::npos) << column;
  }
  EXPECT_TRUE(fs::exists(Media() / "PhotoData/Photos.sqlite-wal"));
  Build("12.4", 40, 1);
  // The last asset's favourite mark lives only in the log.
  EXPECT_GT(fs::file_size(Media() / "PhotoData/Photos.sqlite-wal"), 0u);
  EXPECT_EQ(Number("SELECT ZFAVORITE FROM ZGENERICASSET WHERE Z_PK = 40"), 1);
}

TEST_F(PhotoFarmTest, EveryComputedAlbumHasMembersAndUserAlbumsHaveTheirs) {
  Build("16.6", 200, 4);
  for (const char* where :
       {"ZFAVORITE = 1", "ZKINDSUBTYPE = 10", "ZSAVEDASSETTYPE = 256", "ZTRASHEDSTATE = 1",
        "ZKIND = 1", "ZPLAYBACKSTYLE = 3 AND ZSAVEDASSETTYPE != 8",
        "ZPLAYBACKSTYLE = 1 AND ZAVALANCHEPICKTYPE = 52"}) {
    EXPECT_GT(Number(std::string("SELECT count(*) FROM ZASSET WHERE ") + where), 0) << where;
  }
  EXPECT_EQ(Number("SELECT count(DISTINCT Z_26ALBUMS) FROM Z_26ASSETS z JOIN ZGENERICALBUM al ON"
                   " al.Z_PK = z.Z_26ALBUMS WHERE al.ZKIND = 2 AND al.ZTRASHEDSTATE = 0"),
            4);
  EXPECT_EQ(Number("SELECT count(*) FROM ZGENERICALBUM WHERE ZKIND = 1000"), 1);
  // Dates are not in key order, so newest first is a real ordering.
  EXPECT_GT(Number("SELECT count(*) FROM ZASSET a JOIN ZASSET b ON b.Z_PK = a.Z_PK + 1"
                   " WHERE b.ZDATECREATED < a.ZDATECREATED"), 0);
}

TEST_F(PhotoFarmTest, MediaFilesAreValidAndCarryTheLibraryDates) {
  Build("12.4", 12, 1);
  const std::string jpeg = Bytes(Media() / "DCIM/100APPLE/IMG_1000.JPG");
  ASSERT_GE(jpeg.size(), 4u);
  EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
  EXPECT_EQ(Bytes(Media() / "DCIM/100APPLE/IMG_1005.PNG").substr(0, 8), "\x89PNG\r\n\x1A\n");
  EXPECT_EQ(Bytes(Media() / "DCIM/100APPLE/IMG_1008.HEIC").substr(4, 8), "ftypheic");
  EXPECT_EQ(Bytes(Media() / "DCIM/100APPLE/IMG_1003.MOV").substr(4, 8), "ftypqt  ");
  EXPECT_EQ(Bytes(Media() / "DCIM/100APPLE/IMG_1007.MP4").substr(4, 8), "ftypisom");
  struct stat info {};
  ASSERT_EQ(::stat((Media() / "DCIM/100APPLE/IMG_1000.JPG").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime,
            978307200 + Number("SELECT CAST(ZMODIFICATIONDATE AS INTEGER) FROM ZGENERICASSET WHERE Z_PK = 1"));
  // Thumbnails: the desktop cache named by that time, the metadata previews and the
  // per-asset folder.
  const int64_t t = info.st_mtime;
  char cache[96];
  std::snprintf(cache, sizeof cache, "DCIM/.THMB/%02lld/100APPLE___IMG_1000.JPG.%lld",
                static_cast<long long>(t % 100), static_cast<long long>(t));
  EXPECT_TRUE(fs::exists(Media() / cache)) << cache;
  EXPECT_TRUE(fs::exists(Media() / "PhotoData/Metadata/DCIM/100APPLE/IMG_1001.JPG"));
  EXPECT_TRUE(fs::exists(Media() / "PhotoData/Metadata/DCIM/100APPLE/IMG_1002.THM"));
  EXPECT_TRUE(fs::exists(Media() / "PhotoData/Thumbnails/V2/DCIM/100APPLE/IMG_1003.MOV/5003.JPG"));
}

TEST_F(PhotoFarmTest, SameSeedGivesTheSameLibrary) {
  Build("16.6", 25, 2);
  const std::string first = Text("SELECT group_concat(ZDATECREATED || ZFILENAME) FROM ZASSET");
  const std::string file = Bytes(Media() / "DCIM/100APPLE/IMG_1005.PNG");
  Build("16.6", 25, 2);
  EXPECT_EQ(Text("SELECT group_concat(ZDATECREATED || ZFILENAME) FROM ZASSET"), first);
  EXPECT_EQ(Bytes(Media() / "DCIM/100APPLE/IMG_1005.PNG"), file);
}

}  // namespace
