// The media module's readers without a device: duration text, pid blobs, path rules, the
// voice-memo manifests, and the library readers on small hand-made databases.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>

#include "utility/module/media/media_library.h"
#include "utility/module/media/memo_manifest.h"

namespace {

namespace fs = std::filesystem;

TEST(MediaTextRules, DurationsPidBlobsAndPaths) {
  EXPECT_EQ(MediaDurationText(0), "00:00");
  EXPECT_EQ(MediaDurationText(1499), "00:01");
  EXPECT_EQ(MediaDurationText(1500), "00:02");
  EXPECT_EQ(MediaDurationText(3599499), "59:59");
  EXPECT_EQ(MediaDurationText(3599500), "01:00:00");
  EXPECT_EQ(MediaDurationText(-5), "00:00");
  EXPECT_EQ(MediaDurationText(1.0 / 0.0), "00:00");

  const uint8_t blob[] = {1, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x01, 0, 0, 0, 0, 0, 0,
                          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 9, 9, 9};
  EXPECT_EQ(UnpackPidBlob(blob, 24), (std::vector<int64_t>{1, 0x0102, INT64_MAX}));
  EXPECT_EQ(UnpackPidBlob(blob, sizeof blob).size(), 3u) << "a partial pid is ignored";
  EXPECT_TRUE(UnpackPidBlob(blob, 7).empty());

  EXPECT_TRUE(IsMediaFilePath("iTunes_Control/Music/F00/ABCD.mp3"));
  EXPECT_FALSE(IsMediaFilePath(""));
  EXPECT_FALSE(IsMediaFilePath("/"));
  EXPECT_FALSE(IsMediaFilePath("ABCD.mp3"));
  EXPECT_FALSE(IsMediaFilePath("iTunes_Control/Music/F00/"));
  EXPECT_FALSE(IsMediaFilePath("iTunes_Control/Mu.sic/F00/ABCD"));
}

TEST(MemoManifests, CompositionAndAssetManifestEntries) {
  const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
  auto composition = [&](const std::string& body) {
    return ParseCompositionManifestXml(head + body + "</dict></plist>");
  };
  auto entry = composition(
      "<key>RCComposedAVURL</key><string>file:///var/mobile/Media/Recordings/20190101%20120000.m4a"
      "</string><key>RCSavedRecordingCreationDate</key><date>2019-01-01T12:00:00Z</date>"
      "<key>RCSavedRecordingCreationTime</key><real>1</real>"
      "<key>RCSavedRecordingTitle</key><string>Kitchen</string>");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->path, "/Recordings/20190101 120000.m4a");
  EXPECT_EQ(entry->unix_date, 1546344000);
  EXPECT_EQ(entry->label, "Kitchen");
  // A date of another shape gives way to the creation time (2001-based).
  entry = composition(
      "<key>RCComposedAVURL</key><string>file:///x/Recordings/a.m4a</string>"
      "<key>RCSavedRecordingCreationDate</key><date>2019-01-01 12:00:00</date>"
      "<key>RCSavedRecordingCreationTime</key><real>100.75</real>");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->unix_date, 978307300);
  EXPECT_FALSE(composition("<key>RCComposedAVURL</key><string>file:///x/Recordings/../../etc/passwd"
                           "</string>"));
  EXPECT_FALSE(composition("<key>RCComposedAVURL</key><string>file:///tmp/a.m4a</string>"));
  EXPECT_FALSE(composition("<key>RCComposedAVURL</key><string>file:///x/Recordings/</string>"));
  EXPECT_FALSE(ParseCompositionManifestXml("<plist><dict><key>RCComposedAVURL"));

  const std::vector<MemoManifestEntry> assets = ParseAssetManifestXml(
      head +
      "<key>a b.m4a</key><dict><key>date</key><date>2016-03-15T10:11:12Z</date>"
      "<key>duration</key><real>12.5</real><key>label</key><string>One</string></dict>"
      "<key>../x.m4a</key><dict/><key>sub/y.m4a</key><dict/><key>z.m4a</key><string>no</string>"
      "<key>w.m4a</key><dict><key>duration</key><integer>3</integer></dict></dict></plist>");
  ASSERT_EQ(assets.size(), 2u);
  EXPECT_EQ(assets[0].path, "/Recordings/a b.m4a");
  EXPECT_EQ(assets[0].duration, 12.5);
  EXPECT_EQ(assets[0].unix_date, 1458036672);
  EXPECT_EQ(assets[1].path, "/Recordings/w.m4a");
  EXPECT_EQ(assets[1].duration, 3);
  EXPECT_EQ(assets[1].unix_date, 0);

  EXPECT_FALSE(ParseIsoUtcDate("2016-03-15T10:11:12"));
  EXPECT_FALSE(ParseIsoUtcDate("2016-03-15T10:11:1aZ"));
}

class MediaLibraryReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (fs::temp_directory_path() /
             ("vado-media-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".db"))
                .string();
    fs::remove(path_);
  }
  void TearDown() override { fs::remove(path_); }
  void Make(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
    sqlite3_close(db);
  }
  std::string path_;
};

constexpr char kLibrary[] =
    "CREATE TABLE item (item_pid INTEGER PRIMARY KEY, media_type INTEGER, item_artist_pid INTEGER,"
    " album_pid INTEGER, genre_id INTEGER, base_location_id INTEGER);"
    "CREATE TABLE item_extra (item_pid INTEGER PRIMARY KEY, title TEXT, total_time_ms REAL,"
    " year INTEGER, location TEXT, file_size INTEGER, date_modified INTEGER, media_kind INTEGER,"
    " comment TEXT, description_long TEXT, copyright TEXT);"
    "CREATE TABLE album (album_pid INTEGER PRIMARY KEY, album TEXT);"
    "CREATE TABLE item_artist (item_artist_pid INTEGER PRIMARY KEY, item_artist TEXT);"
    "CREATE TABLE genre (genre_id INTEGER PRIMARY KEY, genre TEXT);"
    "CREATE TABLE base_location (base_location_id INTEGER PRIMARY KEY, path TEXT);"
    "CREATE TABLE db_info (primary_container_pid INTEGER);"
    "INSERT INTO db_info VALUES (1);"
    "INSERT INTO base_location VALUES (1, 'iTunes_Control/Music/F01');"
    "INSERT INTO item VALUES (10, 8, 0, 0, 0, 1), (11, 8, 0, 0, 0, 1), (12, 8, 0, 0, 0, 1),"
    " (13, 8, 0, 0, 0, 1), (14, 8, 0, 0, 0, 1), (15, 8, 0, 0, 0, 1);"
    "INSERT INTO item_extra VALUES (10, 'b', 1000, 2001, 'AAAA.mp3', 5, 0, 1, '', '', ''),"
    " (11, 'A', 2000, 2001, 'BBBB.m4a', 6, 0, 8, '', '', ''),"
    " (12, 'c', 0, 2001, 'CCCC.mp3', 7, 0, 1, '', '', ''),"
    " (13, 'd', 5000000, 2001, 'DDDD.m4v', 8, 0, 2, '', '', ''),"
    " (14, 'e', 3000, 2001, 'EEEE.m4v', 9, 0, 33, '', '', ''),"
    " (15, 'f', 3000, 2001, 'FFFF.m4v', 9, 0, 64, '', '', '');";

TEST_F(MediaLibraryReaderTest, ItemsAreSortedIntoListsAndPlaylistsFallBack) {
  Make(std::string(kLibrary) +
       // An older container table (media_kinds) and member blobs only.
       "CREATE TABLE container (container_pid INTEGER PRIMARY KEY, name TEXT, media_kinds INTEGER,"
       " parent_pid INTEGER, smart_is_folder INTEGER, is_hidden INTEGER);"
       "INSERT INTO container VALUES (1, 'Library', 0, 0, 0, 0), (2, 'Road', 8, 0, 0, 0),"
       " (3, 'Hidden', 8, 0, 0, 1);"
       "CREATE TABLE container_items (container_pid INTEGER, item_pid_data BLOB);"
       "INSERT INTO container_items VALUES (2, x'0A000000000000000B000000000000000D00000000000000');");
  MediaLists lists;
  ASSERT_EQ(ReadMediaLibraryItems(path_, &lists, nullptr), 0);
  ASSERT_EQ(lists.songs.size(), 2u) << "total time 0 is left out";
  EXPECT_EQ(lists.songs[0].title, "A") << "titles sort without regard to case";
  EXPECT_EQ(lists.songs[0].media_kind, 8);
  EXPECT_EQ(lists.songs[1].path, "iTunes_Control/Music/F01/AAAA.mp3");
  EXPECT_EQ(lists.movies.size(), 1u);
  EXPECT_EQ(lists.movies[0].duration, "01:23:20");
  EXPECT_EQ(lists.music_videos.size(), 1u);
  EXPECT_EQ(lists.tv_shows.size(), 1u);

  std::vector<MediaPlaylist> playlists;
  ASSERT_EQ(ReadPlaylists(path_, MediaDbKind::kLibrary, &playlists), 0);
  ASSERT_EQ(playlists.size(), 1u);
  EXPECT_EQ(playlists[0].name, "Road");
  EXPECT_EQ(playlists[0].media_type, 8);
  EXPECT_EQ(playlists[0].item_pids, (std::vector<int64_t>{10, 11, 13}));
  bool found = true;
  std::vector<int64_t> pids;
  ASSERT_EQ(ReadPlaylistItems(path_, MediaDbKind::kLibrary, 3, &found, &pids), 0);
  EXPECT_FALSE(found) << "a hidden playlist is not there";
}

TEST_F(MediaLibraryReaderTest, MissingOrUnreadableDatabasesFail) {
  MediaLists lists;
  EXPECT_EQ(ReadMediaLibraryItems(path_, &lists, nullptr), 19);
  EXPECT_FALSE(fs::exists(path_)) << "a missing copy is not created";
  // A year column in the album table makes the item statement ambiguous.
  Make("CREATE TABLE album (album_pid INTEGER, year INTEGER);");
  EXPECT_EQ(ReadMediaLibraryItems(path_, &lists, nullptr), 19);
  std::vector<MediaPlaylist> playlists;
  EXPECT_EQ(ReadPlaylists(path_, MediaDbKind::kLibrary, &playlists), 0);
  EXPECT_TRUE(playlists.empty());
}

}  // namespace
