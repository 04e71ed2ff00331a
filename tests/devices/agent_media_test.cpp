// Commands 1000, 1002, 1010 and 1011 through the agent against simulated devices; the
// expected lists are read from the farm's own databases and files.
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "agent_fixture.h"
#include "common/json_text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One list as the agent sent it: the count message and the arrays.
struct SentList {
  int64_t count = -1;
  std::vector<size_t> arrays;
  std::vector<rapidjson::Document> objects;
};

struct MediaAnswer {
  int64_t code = -1;
  std::map<int32_t, SentList> lists;  // by "type", playlist items excepted
  // Playlist pid -> its count message's info and its item pids.
  std::map<int64_t, int64_t> item_counts;
  std::map<int64_t, std::vector<int64_t>> items;
};

// An item of the farm's database, and where it would be listed.
struct FarmItem {
  int64_t kind = 0;
  std::string title;
  std::string path;
  int64_t file_size = 0;
  bool listable = false;
};

struct FarmPlaylist {
  std::string name;
  bool hidden = false;
  bool library = false;
  std::vector<int64_t> members;
};

struct FarmLibrary {
  std::map<int64_t, FarmItem> items;
  std::map<int64_t, FarmPlaylist> playlists;
};

void EachRow(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  while (sqlite3_step(s) == SQLITE_ROW) row(s);
  sqlite3_finalize(s);
}

std::string Column(sqlite3_stmt* s, int i) {
  const unsigned char* t = sqlite3_column_text(s, i);
  return t ? reinterpret_cast<const char*>(t) : "";
}

// Whether the item would be listed: a total time, a path with an extension, and a regular
// file on the farm.
bool Listable(const fs::path& media, double total, const std::string& path) {
  const size_t slash = path.rfind('/');
  if (total == 0 || slash == std::string::npos || path.find('.', slash) == std::string::npos) {
    return false;
  }
  return fs::is_regular_file(media / path);
}

FarmLibrary ReadFarmLibrary(const fs::path& media, bool blobs) {
  FarmLibrary farm;
  sqlite3* db = nullptr;
  const fs::path file = media / "iTunes_Control/iTunes/MediaLibrary.sqlitedb";
  EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  EachRow(db,
          "SELECT i.item_pid, e.media_kind, e.title, b.path || '/' || e.location, e.file_size,"
          " e.total_time_ms FROM item i JOIN item_extra e ON e.item_pid = i.item_pid"
          " JOIN base_location b ON b.base_location_id = i.base_location_id",
          [&](sqlite3_stmt* s) {
            FarmItem& item = farm.items[sqlite3_column_int64(s, 0)];
            item.kind = sqlite3_column_int64(s, 1);
            item.title = Column(s, 2);
            item.path = Column(s, 3);
            item.file_size = sqlite3_column_int64(s, 4);
            item.listable = Listable(media, sqlite3_column_double(s, 5), item.path);
          });
  EachRow(db,
          "SELECT c.container_pid, c.name, c.is_hidden, c.container_pid IN (SELECT"
          " primary_container_pid FROM db_info) FROM container c",
          [&](sqlite3_stmt* s) {
            FarmPlaylist& list = farm.playlists[sqlite3_column_int64(s, 0)];
            list.name = Column(s, 1);
            list.hidden = sqlite3_column_int(s, 2) != 0;
            list.library = sqlite3_column_int(s, 3) != 0;
          });
  if (blobs) {
    EachRow(db, "SELECT container_pid, item_pid_data FROM container_items", [&](sqlite3_stmt* s) {
      const auto* b = static_cast<const uint8_t*>(sqlite3_column_blob(s, 1));
      const int n = sqlite3_column_bytes(s, 1);
      std::vector<int64_t>& members = farm.playlists[sqlite3_column_int64(s, 0)].members;
      for (int at = 0; at + 8 <= n; at += 8) {
        uint64_t v = 0;
        for (int k = 7; k >= 0; --k) v = (v << 8) | b[at + k];
        members.push_back(static_cast<int64_t>(v));
      }
    });
  } else {
    EachRow(db, "SELECT container_pid, item_pid FROM container_item ORDER BY position",
            [&](sqlite3_stmt* s) {
              farm.playlists[sqlite3_column_int64(s, 0)].members.push_back(
                  sqlite3_column_int64(s, 1));
            });
  }
  sqlite3_close(db);
  return farm;
}

class AgentMediaTest : public AgentFixture {
 protected:
  std::string AddPhone(devsim::DeviceSpec device) {
    device.media_files = 0;
    udid_ = Add(device);
    return udid_;
  }
  void Start() {
    StartAll();
    ASSERT_NE(WaitArrival(udid_), 0);
  }
  fs::path Media() const {
    return sim_.farm_dir() / "devices" / udid_ / "fs/private/var/mobile/Media";
  }
  std::string Header(const std::string& info = "") const {
    return "{\"uuid\":" + JsonQuote(udid_) + (info.empty() ? "" : ",\"info\":" + info) + "}";
  }
  MediaAnswer Ask(uint32_t command, const std::string& info = "") {
    const uint64_t task = next_task_++;
    SendWithHeader(command, task, Header(info));
    std::vector<const Seen*> messages;
    const Seen* result = WaitForResult(task, &messages, 50s);
    MediaAnswer answer;
    if (!result) return answer;
    answer.code = Code(*result);
    for (const Seen* s : messages) {
      const rapidjson::Document& h = s->header;
      if (!h.IsObject() || !h.HasMember("type") || !h.HasMember("info")) continue;
      const int32_t type = h["type"].GetInt();
      const rapidjson::Value& info = h["info"];
      const int64_t stage = h["stage"].GetInt64();
      rapidjson::Document body;
      if (stage == 1) body.Parse(s->message.body.c_str());
      if (type == 1010) {
        const int64_t pid = info["Playlist"].GetInt64();
        if (stage == 0) answer.item_counts[pid] = info["Count"].GetInt64();
        if (stage == 1 && body.IsObject()) {
          EXPECT_EQ(body["Playlist"].GetInt64(), pid);
          for (auto& v : body["item_pids"].GetArray()) answer.items[pid].push_back(v.GetInt64());
        }
        continue;
      }
      SentList& list = answer.lists[type];
      if (stage == 0) list.count = info["Count"].GetInt64();
      if (stage == 1 && body.IsArray()) {
        list.arrays.push_back(body.Size());
        for (auto& v : body.GetArray()) {
          rapidjson::Document copy;
          copy.CopyFrom(v, copy.GetAllocator());
          list.objects.push_back(std::move(copy));
        }
      }
    }
    return answer;
  }

  std::string udid_;
  uint64_t next_task_ = 100;
};

std::vector<size_t> ArraysOf(size_t n) {
  std::vector<size_t> sizes(n / 100, 100);
  if (n % 100) sizes.push_back(n % 100);
  return sizes;
}

std::vector<int64_t> ItemsOf(const MediaAnswer& answer, int64_t pid) {
  auto it = answer.items.find(pid);
  return it == answer.items.end() ? std::vector<int64_t>() : it->second;
}

// The duration text of a total time: rounded seconds, hours only when there are any.
std::string DurationOf(int64_t ms) {
  const int64_t s = (ms + 500) / 1000;
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%02lld:%02lld", static_cast<long long>(s / 60),
                  static_cast<long long>(s % 60));
  }
  return text;
}

std::set<int64_t> Pids(const SentList& list) {
  std::set<int64_t> pids;
  for (const auto& o : list.objects) pids.insert(o["item_pid"].GetInt64());
  return pids;
}

TEST_F(AgentMediaTest, LibraryListsItemsPlaylistsAndTheirMembersAsTheFarmHoldsThem) {
  devsim::DeviceSpec device;
  device.seed = 21;
  device.media.songs = 250;
  device.media.movies = 3;
  device.media.tvshows = 4;
  device.media.music_videos = 2;
  device.media.playlists = 7;
  AddPhone(device);
  Start();
  const FarmLibrary farm = ReadFarmLibrary(Media(), false);
  const MediaAnswer answer = Ask(1000);
  ASSERT_EQ(answer.code, 0);

  std::map<int32_t, std::set<int64_t>> expected;
  for (const auto& [pid, item] : farm.items) {
    if (!item.listable) continue;
    const int32_t type = item.kind == 2 ? 1005 : item.kind == 33 ? 1007 : item.kind == 64 ? 1006
                                                                                          : 1004;
    expected[type].insert(pid);
  }
  ASSERT_EQ(expected[1004].size(), 250u) << "items without time, file or extension are not listable";
  for (int32_t type : {1004, 1005, 1006, 1007}) {
    SCOPED_TRACE("type " + std::to_string(type));
    const SentList& list = answer.lists.at(type);
    EXPECT_EQ(list.count, static_cast<int64_t>(expected[type].size()));
    EXPECT_EQ(list.arrays, ArraysOf(expected[type].size()));
    EXPECT_EQ(Pids(list), expected[type]);
  }
  // Songs hold both kinds 1 and 8; every member reads as the farm has it.
  std::set<int64_t> song_kinds;
  std::string previous;
  for (const auto& o : answer.lists.at(1004).objects) {
    const FarmItem& item = farm.items.at(o["item_pid"].GetInt64());
    song_kinds.insert(o["media_kind"].GetInt64());
    EXPECT_EQ(o["title"].GetString(), item.title);
    EXPECT_EQ(o["path"].GetString(), item.path);
    EXPECT_EQ(o["file_size"].GetInt64(), item.file_size);
    EXPECT_EQ(o["file_size"].GetInt64(),
              static_cast<int64_t>(fs::file_size(Media() / item.path)));
    EXPECT_FALSE(std::string(o["artist"].GetString()).empty());
    EXPECT_FALSE(std::string(o["genre"].GetString()).empty());
  }
  EXPECT_EQ(song_kinds, (std::set<int64_t>{1, 8}));
  // Durations: songs run minutes, videos mostly over an hour.
  size_t with_hours = 0;
  for (int32_t type : {1004, 1005, 1006, 1007}) {
    for (const auto& o : answer.lists.at(type).objects) {
      const std::string text = o["total_time_ms"].GetString();
      EXPECT_EQ(text, DurationOf(o["total_time_ms_int"].GetInt64()));
      with_hours += text.size() == 8;
    }
  }
  EXPECT_GT(with_hours, 0u);

  // Playlists: the library itself and the hidden one are left out; the empty one is listed.
  std::set<int64_t> visible;
  for (const auto& [pid, list] : farm.playlists) {
    if (!list.hidden && !list.library) visible.insert(pid);
  }
  const SentList& playlists = answer.lists.at(1009);
  EXPECT_EQ(playlists.count, static_cast<int64_t>(visible.size()));
  std::set<int64_t> sent;
  bool folder = false;
  for (const auto& o : playlists.objects) {
    const int64_t pid = o["container_pid"].GetInt64();
    sent.insert(pid);
    EXPECT_EQ(o["name"].GetString(), farm.playlists.at(pid).name);
    folder |= o["smart_is_folder"].GetInt() == 1;
  }
  EXPECT_EQ(sent, visible);
  EXPECT_TRUE(folder);
  for (int64_t pid : visible) {
    SCOPED_TRACE(farm.playlists.at(pid).name);
    std::vector<int64_t> want = farm.playlists.at(pid).members;
    std::vector<int64_t> got = ItemsOf(answer, pid);
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(answer.item_counts.at(pid), static_cast<int64_t>(want.size()));
    EXPECT_EQ(got, want);
  }

  // 1010: a playlist with items from the held copy and after a refresh; an unknown one has
  // none.
  int64_t some = 0;
  for (int64_t pid : visible) {
    if (farm.playlists.at(pid).members.size() > 3) some = pid;
  }
  ASSERT_NE(some, 0);
  for (const char* refresh : {"false", "true"}) {
    const MediaAnswer one = Ask(1010, std::string("{\"refresh\":") + refresh +
                                          ",\"container_pid\":" + std::to_string(some) + "}");
    EXPECT_EQ(one.code, 0);
    EXPECT_EQ(one.item_counts.at(some), static_cast<int64_t>(farm.playlists.at(some).members.size()));
    EXPECT_EQ(ItemsOf(one, some).size(), farm.playlists.at(some).members.size());
  }
  const MediaAnswer unknown = Ask(1010, "{\"refresh\":false,\"container_pid\":12345}");
  EXPECT_EQ(unknown.code, 0);
  EXPECT_EQ(unknown.item_counts.at(12345), 0);
  EXPECT_EQ(unknown.items.count(12345), 0u);
  EXPECT_EQ(Ask(1010, "{\"refresh\":false}").code, 8);

  // 1011 wants an array of pids.
  EXPECT_EQ(Ask(1011, "{\"item_pids\":[1,2]}").code, 0);
  EXPECT_EQ(Ask(1011, "{\"item_pids\":3}").code, 8);
}

TEST_F(AgentMediaTest, PlaylistMembersComeFromPidBlobsWhenTheMemberTableIsMissing) {
  devsim::DeviceSpec device;
  device.seed = 22;
  device.media.songs = 12;
  device.media.playlists = 5;
  device.media.playlist_blobs = true;
  AddPhone(device);
  Start();
  const FarmLibrary farm = ReadFarmLibrary(Media(), true);
  const MediaAnswer answer = Ask(1000);
  ASSERT_EQ(answer.code, 0);
  const SentList& playlists = answer.lists.at(1009);
  ASSERT_EQ(playlists.count, 4);  // five, one hidden
  bool three = false;
  for (const auto& o : playlists.objects) {
    const int64_t pid = o["container_pid"].GetInt64();
    EXPECT_EQ(ItemsOf(answer, pid), farm.playlists.at(pid).members);
    // The smart folder's blob is 24 bytes.
    if (o["smart_is_folder"].GetInt() == 1) three = ItemsOf(answer, pid).size() == 3;
  }
  EXPECT_TRUE(three);
}

TEST_F(AgentMediaTest, OlderFirmwareIsReadFromTheOlderLibraryPair) {
  devsim::DeviceSpec device;
  device.seed = 23;
  device.product_version = "4.3.3";
  device.media.songs = 30;
  device.media.movies = 2;
  device.media.tvshows = 2;
  device.media.music_videos = 3;
  device.media.playlists = 4;
  AddPhone(device);
  Start();
  ASSERT_FALSE(fs::exists(Media() / "iTunes_Control/iTunes/MediaLibrary.sqlitedb"));
  const fs::path itlp = Media() / "iTunes_Control/iTunes/iTunes Library.itlp";
  // Expected: items with a location, a time and a file; kind 8 is dropped.
  std::map<int64_t, std::pair<int64_t, double>> kinds;
  std::map<int64_t, std::string> paths;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((itlp / "Library.itdb").c_str(), &db), SQLITE_OK);
  EachRow(db, "SELECT pid, media_kind, total_time_ms FROM item", [&](sqlite3_stmt* s) {
    kinds[sqlite3_column_int64(s, 0)] = {sqlite3_column_int64(s, 1), sqlite3_column_double(s, 2)};
  });
  sqlite3_close(db);
  ASSERT_EQ(sqlite3_open((itlp / "Locations.itdb").c_str(), &db), SQLITE_OK);
  EachRow(db,
          "SELECT item_pid, b.path || '/' || l.location FROM location l JOIN base_location b"
          " ON b.id = l.base_location_id",
          [&](sqlite3_stmt* s) { paths[sqlite3_column_int64(s, 0)] = Column(s, 1); });
  sqlite3_close(db);
  std::map<int32_t, std::set<int64_t>> expected;
  bool audiobook = false;
  for (const auto& [pid, kt] : kinds) {
    audiobook |= kt.first == 8;
    if (!paths.count(pid) || !Listable(Media(), kt.second, paths[pid])) continue;
    const int64_t k = kt.first;
    const int32_t type = k == 1 ? 1004 : k == 2 ? 1005 : (k & 64) ? 1006 : (k & 32) ? 1007 : 0;
    if (type) expected[type].insert(pid);
  }
  ASSERT_TRUE(audiobook);
  const MediaAnswer answer = Ask(1000);
  ASSERT_EQ(answer.code, 0);
  EXPECT_EQ(expected[1004].size(), 30u);
  for (int32_t type : {1004, 1005, 1006, 1007}) {
    EXPECT_EQ(Pids(answer.lists.at(type)), expected[type]) << type;
  }
  for (const auto& o : answer.lists.at(1004).objects) {
    EXPECT_EQ(o["path"].GetString(), paths.at(o["item_pid"].GetInt64()));
    EXPECT_EQ(o["file_size"].GetInt64(),
              static_cast<int64_t>(fs::file_size(Media() / o["path"].GetString())));
  }
  EXPECT_EQ(answer.lists.at(1009).count, 3);
  // 1010 after a refresh reads the older pair's member table.
  const int64_t pid = answer.lists.at(1009).objects.at(0)["container_pid"].GetInt64();
  const MediaAnswer one =
      Ask(1010, "{\"refresh\":true,\"container_pid\":" + std::to_string(pid) + "}");
  EXPECT_EQ(one.code, 0);
  EXPECT_EQ(ItemsOf(one, pid), ItemsOf(answer, pid));
}

TEST_F(AgentMediaTest, VoiceMemosComeOnceEachFromTheThreeSources) {
  devsim::DeviceSpec device;
  device.seed = 24;
  device.memos = 9;
  AddPhone(device);
  Start();
  const fs::path recordings = Media() / "Recordings";
  // Expected: every .m4a named by a source, non-empty; the database's rows with negative
  // durations name nothing listable.
  std::set<std::string> from_db, compositions;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((recordings / "Recordings.db").c_str(), &db), SQLITE_OK);
  EachRow(db, "SELECT ZPATH FROM ZRECORDING WHERE ZDURATION >= 0 AND ZPATH IS NOT NULL",
          [&](sqlite3_stmt* s) {
            const std::string path = Column(s, 0);
            const size_t at = path.find("/Recordings/");
            if (at == std::string::npos) return;
            const std::string device_path = path.substr(at);
            const fs::path local = Media() / device_path.substr(1);
            if (fs::is_regular_file(local) && fs::file_size(local) > 0) from_db.insert(device_path);
          });
  sqlite3_close(db);
  for (const auto& entry : fs::directory_iterator(recordings)) {
    if (entry.path().extension() == ".composition") compositions.insert(entry.path().stem());
  }
  EXPECT_EQ(from_db.size(), 3u);
  EXPECT_EQ(compositions.size(), 3u);

  const MediaAnswer answer = Ask(1002);
  ASSERT_EQ(answer.code, 0);
  const SentList& memos = answer.lists.at(1002);
  EXPECT_EQ(memos.count, 9);
  EXPECT_EQ(memos.arrays, std::vector<size_t>{9});
  std::set<std::string> paths;
  std::map<int, int> per_source;
  for (const auto& o : memos.objects) {
    const std::string path = o["path"].GetString();
    EXPECT_TRUE(paths.insert(path).second) << "listed twice: " << path;
    const fs::path local = Media() / path.substr(1);
    ASSERT_TRUE(fs::is_regular_file(local)) << path;
    EXPECT_EQ(o["size"].GetInt64(), static_cast<int64_t>(fs::file_size(local)));
    const int source = o["source"].GetInt();
    ++per_source[source];
    if (source == 0) {
      EXPECT_TRUE(from_db.count(path)) << path;
    }
    if (source == 2) {
      const std::string stem = local.stem();
      EXPECT_TRUE(compositions.count(stem)) << path;
      // Dates come from the creation date or, without one, the creation time.
      EXPECT_GT(o["date_int"].GetInt64(), 1'400'000'000);
      EXPECT_EQ(std::string(o["date"].GetString()).size(), 19u);
    }
    if (source == 1) {
      EXPECT_GT(o["duration_int"].GetDouble(), 0);
    }
  }
  EXPECT_EQ(per_source, (std::map<int, int>{{0, 3}, {1, 3}, {2, 3}}));
}

TEST_F(AgentMediaTest, CancellingALargeListingEndsItWithinTwoSeconds) {
  devsim::DeviceSpec device;
  device.seed = 26;
  device.media.songs = 8000;
  AddPhone(device);
  Start();
  SendWithHeader(1000, 300, Header());
  // The request is registered at once; copying the library, reading 8,000 rows and
  // checking every item's file on the device take far longer than this pause, on a fast
  // machine too, so the cancel lands while the listing runs.
  std::this_thread::sleep_for(100ms);
  ExpectCancelledInTime(udid_, 300, 301);
}

TEST_F(AgentMediaTest, RequestFailuresAndADeviceWithoutMedia) {
  devsim::DeviceSpec device;
  device.seed = 25;
  AddPhone(device);
  Start();
  // Neither library: every list is sent empty and the request succeeds.
  const MediaAnswer empty = Ask(1000);
  ASSERT_EQ(empty.code, 0);
  for (int32_t type : {1004, 1005, 1006, 1007, 1009}) {
    EXPECT_EQ(empty.lists.at(type).count, 0) << type;
    EXPECT_TRUE(empty.lists.at(type).arrays.empty()) << type;
  }
  EXPECT_EQ(Ask(1010, "{\"refresh\":true,\"container_pid\":1}").code, 18);
  const MediaAnswer memos = Ask(1002);
  EXPECT_EQ(memos.code, 0);
  EXPECT_EQ(memos.lists.at(1002).count, 0);

  // Unknown device: 7. A header object that is not JSON: no answer at all.
  SendWithHeader(1000, 900, "{\"uuid\":\"0000-not-attached\"}");
  const Seen* result = WaitForResult(900);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 7);
  SendWithHeader(1000, 901, "{\"uuid\":");
  EXPECT_EQ(WaitForResult(901, nullptr, 2s), nullptr);
}

}  // namespace
