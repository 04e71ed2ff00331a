// Command 201 through the agent against simulated devices: the restricted backup, the
// snapshot with the real backup tool, and the copy held from before; the listing is
// compared with what the farm's own message database holds.
#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "agent_fixture.h"
#include "common/json_text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kDbName[] = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

// A conversation as the farm's database has it.
struct Expected {
  int64_t row_id = 0;
  int64_t last_date = 0;
  bool group = false;
  std::vector<int64_t> message_ids;  // in date order
  std::vector<std::string> texts;
  std::vector<int> from_me;
  size_t handles = 0;
  std::set<std::string> addresses;
};

std::map<std::string, Expected> ReadFarmDatabase(const fs::path& file, bool older) {
  std::map<std::string, Expected> chats;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  auto each = [&](const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (sqlite3_step(s) == SQLITE_ROW) row(s);
    sqlite3_finalize(s);
  };
  auto text = [](sqlite3_stmt* s, int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
  };
  if (older) {
    each("SELECT CAST(address AS INTEGER), ROWID, text, date, flags FROM message ORDER BY date",
         [&](sqlite3_stmt* s) {
           Expected& e = chats[std::to_string(sqlite3_column_int64(s, 0))];
           e.row_id = sqlite3_column_int64(s, 0);
           e.message_ids.push_back(sqlite3_column_int64(s, 1));
           e.texts.push_back(text(s, 2));
           e.last_date = sqlite3_column_int64(s, 3);
           e.from_me.push_back(sqlite3_column_int(s, 4) == 3 ? 1 : 0);
         });
  } else {
    each("SELECT IFNULL(c.chat_identifier, ''), IFNULL(c.ROWID, 0), m.ROWID, m.text, m.date,"
         " m.handle_id, m.is_from_me FROM message m LEFT JOIN chat_message_join j ON j.message_id = m.ROWID"
         " LEFT JOIN chat c ON c.ROWID = j.chat_id ORDER BY m.date",
         [&](sqlite3_stmt* s) {
           Expected& e = chats[text(s, 0)];
           e.row_id = sqlite3_column_int64(s, 1);
           e.message_ids.push_back(sqlite3_column_int64(s, 2));
           e.texts.push_back(text(s, 3));
           e.last_date = sqlite3_column_int64(s, 4);
           e.group |= sqlite3_column_int64(s, 5) == 0;
           e.from_me.push_back(sqlite3_column_int(s, 6));
         });
    each("SELECT c.chat_identifier, h.id FROM chat_handle_join j JOIN chat c ON c.ROWID ="
         " j.chat_id JOIN handle h ON h.ROWID = j.handle_id",
         [&](sqlite3_stmt* s) {
           auto it = chats.find(text(s, 0));
           if (it == chats.end()) return;
           ++it->second.handles;
           it->second.addresses.insert(text(s, 1));
         });
  }
  sqlite3_close(db);
  return chats;
}

// One listing as the agent sent it.
struct Listing {
  std::string path;
  int64_t count = -1;
  std::vector<rapidjson::Document> chats;
  std::vector<std::vector<size_t>> batches;  // per conversation, the sizes of its arrays
  std::vector<std::vector<rapidjson::Document>> messages;
  int64_t code = -1;
  bool sent_nothing = true;
};

class SmsTest : public AgentFixture {
 protected:
  std::string AddPhone(uint64_t seed, const std::string& version, uint64_t messages,
                       uint64_t chats, devsim::SmsSchema schema = devsim::SmsSchema::kByFirmware,
                       uint64_t delay_ms = 0) {
    devsim::DeviceSpec farm_device;
    farm_device.seed = seed;
    farm_device.product_version = version;
    farm_device.media_files = 2;
    farm_device.sms.messages = messages;
    farm_device.sms.chats = chats;
    farm_device.sms.schema = schema;
    farm_device.backup_file_delay_ms = delay_ms;
    return Add(farm_device);
  }
  fs::path FarmDb(const std::string& udid) const {
    return sim_.farm_dir() / "devices" / udid / "fs/private/var/mobile/Library/SMS/sms.db";
  }
  Listing List(const std::string& udid, int way, std::chrono::milliseconds wait = 55s) {
    const uint64_t task = next_task_++;
    SendWithHeader(201, task, "{\"uuid\":" + JsonQuote(udid) + ",\"info\":{\"command\":" +
                                  std::to_string(way) + "}}");
    std::vector<const Seen*> messages;
    const Seen* result = WaitForResult(task, &messages, wait);
    Listing listing;
    if (!result) return listing;
    listing.code = Code(*result);
    for (const Seen* s : messages) {
      const rapidjson::Document& h = s->header;
      if (!h.IsObject() || !h.HasMember("stage")) continue;
      const int64_t stage = h["stage"].GetInt64();
      if (stage == -1) {
        listing.sent_nothing = false;
        rapidjson::Document info;
        listing.path = h["info"].GetString();
      } else if (stage == 0 && h.HasMember("info") && h["info"].IsObject() &&
                 h["info"].HasMember("Count")) {
        listing.sent_nothing = false;
        listing.count = h["info"]["Count"].GetInt64();
      } else if (stage == 1 && h.HasMember("info") && h["info"].IsObject() &&
                 h["info"].HasMember("Count")) {
        // The backup's own progress also comes as stage 1, without the count.
        listing.sent_nothing = false;
        rapidjson::Document body;
        body.Parse(s->message.body.c_str());
        if (h["code"].GetInt64() == 0) {
          listing.chats.push_back(std::move(body));
          listing.batches.emplace_back();
          listing.messages.emplace_back();
        } else if (!listing.chats.empty() && body.IsArray()) {
          listing.batches.back().push_back(body.Size());
          for (auto& m : body.GetArray()) {
            rapidjson::Document copy;
            copy.CopyFrom(m, copy.GetAllocator());
            listing.messages.back().push_back(std::move(copy));
          }
        }
      }
    }
    return listing;
  }
  // The listing against the farm's database, member by member.
  void ExpectMatchesFarm(const Listing& listing, const fs::path& db, bool older) {
    std::map<std::string, Expected> expected = ReadFarmDatabase(db, older);
    ASSERT_EQ(listing.code, 0);
    ASSERT_EQ(listing.count, static_cast<int64_t>(expected.size()));
    ASSERT_EQ(listing.chats.size(), expected.size());
    int64_t previous_date = INT64_MAX;
    for (size_t i = 0; i < listing.chats.size(); ++i) {
      const rapidjson::Document& chat = listing.chats[i];
      const std::string id = chat["chat_id"].GetString();
      SCOPED_TRACE("conversation " + id);
      ASSERT_TRUE(expected.count(id));
      const Expected& e = expected[id];
      EXPECT_EQ(chat["id"].GetString(), std::to_string(e.row_id));
      EXPECT_EQ(chat["date"].GetInt64(), e.last_date);
      EXPECT_LE(e.last_date, previous_date) << "newest first";
      previous_date = e.last_date;
      EXPECT_EQ(chat["message_count"].GetInt64(), static_cast<int64_t>(e.message_ids.size()));
      EXPECT_EQ(chat["snippet"].GetString(), e.texts.back());
      if (!older) {
        EXPECT_EQ(chat["is_group"].GetInt(), e.group ? 1 : 0);
        EXPECT_EQ(chat["handles"].Size(), e.handles);
        std::string phones = chat["display_phone"].GetString();
        std::set<std::string> shown;
        for (size_t start = 0; !phones.empty() && start <= phones.size();) {
          size_t comma = phones.find(',', start);
          shown.insert(phones.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
          if (comma == std::string::npos) break;
          start = comma + 1;
        }
        if (!e.addresses.empty()) {
          EXPECT_EQ(shown, e.addresses) << "each address once";
        }
      }
      // Arrays of 50 with one shorter last array.
      const size_t n = e.message_ids.size();
      std::vector<size_t> sizes(n / 50, 50);
      if (n % 50) sizes.push_back(n % 50);
      EXPECT_EQ(listing.batches[i], sizes);
      ASSERT_EQ(listing.messages[i].size(), n);
      for (size_t m = 0; m < n; ++m) {
        EXPECT_EQ(listing.messages[i][m]["id"].GetInt64(), e.message_ids[m]);
        EXPECT_EQ(listing.messages[i][m]["text"].GetString(), e.texts[m]);
        EXPECT_EQ(listing.messages[i][m]["chat_id"].GetString(), id);
        EXPECT_EQ(listing.messages[i][m]["is_from_me"].GetInt(), e.from_me[m]);
      }
    }
  }
  uint64_t next_task_ = 10;
};

TEST_F(SmsTest, RestrictedBackupListsTheCurrentSchemaInSecondsAndNanoseconds) {
  const std::string ios12 = AddPhone(11, "12.4", 600, 9);
  const std::string ios9 = AddPhone(12, "9.3.5", 150, 5);
  StartAll();
  ASSERT_NE(WaitArrival(ios12), 0);
  ASSERT_NE(WaitArrival(ios9), 0);
  for (const std::string& udid : {ios12, ios9}) {
    SCOPED_TRACE(udid);
    Listing listing = List(udid, 0);
    ExpectMatchesFarm(listing, FarmDb(udid), false);
    EXPECT_EQ(listing.path, (sim_.dir() / ("sms-" + udid + ".db")).string());
    EXPECT_TRUE(fs::exists(listing.path));
    bool group = false, loose = false, twice = false, long_chat = false;
    for (size_t i = 0; i < listing.chats.size(); ++i) {
      const rapidjson::Document& c = listing.chats[i];
      group |= c["is_group"].GetInt() == 1 && std::string(c["chat_id"].GetString()) != "";
      loose |= std::string(c["chat_id"].GetString()).empty() &&
               std::string(c["id"].GetString()) == "0";
      twice |= c["handles"].Size() == 2 &&
               std::string(c["display_phone"].GetString()).find(',') == std::string::npos;
      long_chat |= listing.batches[i].size() >= 3;
    }
    EXPECT_TRUE(group);
    EXPECT_TRUE(loose) << "messages without a conversation form conversation \"\"";
    EXPECT_TRUE(twice) << "a partner joined twice is shown once";
    if (udid == ios12) {
      EXPECT_TRUE(long_chat) << "a conversation of more than 100 messages";
    }
    // Dates: seconds on firmware 9, nanoseconds from 11; the text is the same rule.
    const rapidjson::Document& first = listing.messages[0][0];
    const int64_t date = first["date"].GetInt64();
    EXPECT_EQ(date > 1000000000000LL, udid == ios12) << date;
    EXPECT_EQ(std::string(first["date_str"].GetString()).size(), 19u);
  }
}

TEST_F(SmsTest, OlderSchemaAndTableSetsWithoutConversations) {
  const std::string older = AddPhone(21, "4.2.1", 60, 4);
  const std::string madrid = AddPhone(22, "5.1.1", 30, 3, devsim::SmsSchema::kMadrid);
  StartAll();
  ASSERT_NE(WaitArrival(older), 0);
  ASSERT_NE(WaitArrival(madrid), 0);
  Listing listing = List(older, 0);
  ExpectMatchesFarm(listing, FarmDb(older), true);
  bool mail = false;
  for (const auto& chat : listing.chats) mail |= std::string(chat["chat_id"].GetString()) == "0";
  EXPECT_TRUE(mail) << "an e-mail address is conversation 0";
  Listing none = List(madrid, 0);
  EXPECT_EQ(none.code, 0);
  EXPECT_TRUE(none.sent_nothing);
}

TEST_F(SmsTest, HeldCopyIsReusedAndWaysWithoutADatabaseFail) {
  const std::string udid = AddPhone(31, "14.8", 120, 3);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  Listing first = List(udid, 2);
  EXPECT_EQ(first.code, 19) << "nothing held yet";
  EXPECT_TRUE(first.sent_nothing);
  Listing backup = List(udid, 0);
  ASSERT_EQ(backup.code, 0);
  Listing again = List(udid, 2);
  ExpectMatchesFarm(again, FarmDb(udid), false);
  EXPECT_EQ(again.count, backup.count);
  fs::path held;
  for (const auto& entry : fs::recursive_directory_iterator(sim_.dir())) {
    if (entry.path().filename() == kDbName && entry.path().string().find("Backup0") != std::string::npos) {
      held = entry.path();
    }
  }
  ASSERT_FALSE(held.empty());
  // A database without "message" lists nothing and succeeds.
  fs::remove(held);
  sqlite3* db = nullptr;
  sqlite3_open(held.c_str(), &db);
  sqlite3_exec(db, "CREATE TABLE other (x)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  Listing empty = List(udid, 2);
  EXPECT_EQ(empty.code, 0);
  EXPECT_TRUE(empty.sent_nothing);
  // The held copy is gone: a failure, not an empty success.
  fs::remove(held);
  Listing gone = List(udid, 2);
  EXPECT_EQ(gone.code, 19);
  EXPECT_TRUE(gone.sent_nothing);
  EXPECT_EQ(List(udid, 7).code, 0) << "an unknown way does nothing";
}

std::vector<pid_t> ToolProcesses(const std::string& udid) {
  std::vector<pid_t> pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmdline.find("idevicebackup2") != std::string::npos &&
        cmdline.find(udid) != std::string::npos) {
      pids.push_back(std::stoi(name));
    }
  }
  return pids;
}

// The device folder's Backup0 under the agent's work folder ("" until it exists).
fs::path FindBackup0(const fs::path& root, const std::string& udid) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename() == "Backup0" && it->path().parent_path().filename() == udid) {
      return it->path();
    }
  }
  return {};
}

TEST_F(SmsTest, SnapshotWithTheBackupToolEqualsTheRestrictedBackup) {
  if (system("command -v idevicebackup2 > /dev/null 2>&1") != 0) GTEST_SKIP() << "no idevicebackup2";
  devsim::DeviceSpec farm_device;
  farm_device.seed = 41;
  farm_device.product_version = "12.4";
  farm_device.media_files = 2;
  farm_device.sms.messages = 200;
  farm_device.sms.chats = 6;
  farm_device.backup_files = 40;
  farm_device.backup_bytes = 40 * 1024;
  farm_device.backup_file_delay_ms = 200;
  const std::string udid = Add(farm_device);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  const uint64_t task = next_task_++;
  SendWithHeader(201, task, "{\"uuid\":" + JsonQuote(udid) + ",\"info\":{\"command\":1}}");
  // Watch the tool's folder while it runs.
  std::set<std::string> kept_seen;
  size_t most_strangers = 0;
  std::set<std::string> strangers_seen;
  bool tool_seen = false;
  const auto start = std::chrono::steady_clock::now();
  const Seen* result = nullptr;
  while (!(result = WaitFor([&](const Seen& s) { return IsResult(s, task); }, 200ms)) &&
         std::chrono::steady_clock::now() - start < 50s) {
    tool_seen |= !ToolProcesses(udid).empty();
    const fs::path tool = FindBackup0(sim_.dir(), udid) / udid;
    std::error_code error;
    size_t strangers = 0;
    for (fs::recursive_directory_iterator it(tool, error), end; !error && it != end;
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name == "Manifest.plist" || name == "Info.plist" || name == "Status.plist") {
        kept_seen.insert(name);
      }
      if (name.size() == 40 && name != kDbName) {
        ++strangers;
        strangers_seen.insert(name);
      }
    }
    most_strangers = std::max(most_strangers, strangers);
  }
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  EXPECT_TRUE(tool_seen);
  EXPECT_TRUE(kept_seen.count("Info.plist") || kept_seen.count("Status.plist"));
  // 40 generated files and the farm's own arrive 200 ms apart; they are pruned as they come,
  // so far fewer are ever there at once than arrive.
  EXPECT_GE(strangers_seen.size(), 20u) << "the device's other files were seen arriving";
  EXPECT_LT(most_strangers * 2, strangers_seen.size())
      << "other backup files are pruned while the tool runs";
  const fs::path backup0 = FindBackup0(sim_.dir(), udid);
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(backup0)) left.insert(entry.path().filename());
  for (const std::string& name : left) {
    EXPECT_TRUE(name == kDbName || name == std::string(kDbName) + "-wal" ||
                name == std::string(kDbName) + "-shm") << name;
  }
  EXPECT_TRUE(left.count(kDbName));
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(ToolProcesses(udid).empty()) << "the tool is gone";
  Listing snapshot = List(udid, 2);
  ExpectMatchesFarm(snapshot, FarmDb(udid), false);
}

TEST_F(SmsTest, CancellingASnapshotEndsItWithinTwoSeconds) {
  if (system("command -v idevicebackup2 > /dev/null 2>&1") != 0) GTEST_SKIP() << "no idevicebackup2";
  const std::string udid = AddPhone(52, "12.4", 50, 2, devsim::SmsSchema::kByFirmware, 2000);
  StartAll();
  const int64_t handle = WaitArrival(udid);
  ASSERT_NE(handle, 0);
  SendWithHeader(201, 98, "{\"uuid\":" + JsonQuote(udid) + ",\"info\":{\"command\":1}}");
  const auto start = std::chrono::steady_clock::now();
  while (ToolProcesses(udid).empty() && std::chrono::steady_clock::now() - start < 15s) {
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_FALSE(ToolProcesses(udid).empty());
  ASSERT_NE(ExpectCancelledInTime(udid, 98, 97), nullptr);
  EXPECT_TRUE(ToolProcesses(udid).empty());
}

TEST_F(SmsTest, KillingTheAgentDuringASnapshotLeavesNoTool) {
  if (system("command -v idevicebackup2 > /dev/null 2>&1") != 0) GTEST_SKIP() << "no idevicebackup2";
  const std::string udid = AddPhone(51, "12.4", 50, 2, devsim::SmsSchema::kByFirmware, 2000);
  StartAll();
  ASSERT_NE(WaitArrival(udid), 0);
  SendWithHeader(201, 99, "{\"uuid\":" + JsonQuote(udid) + ",\"info\":{\"command\":1}}");
  const auto start = std::chrono::steady_clock::now();
  while (ToolProcesses(udid).empty() && std::chrono::steady_clock::now() - start < 15s) {
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_FALSE(ToolProcesses(udid).empty());
  ::kill(agent_.pid(), SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  while (!ToolProcesses(udid).empty() && std::chrono::steady_clock::now() - killed < 5s) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(ToolProcesses(udid).empty());
}

}  // namespace

namespace {

// vadoctl messages as a person runs it: a readable list of conversations, one
// conversation's messages, and JSON lines when asked.
TEST(VadoctlMessagesTest, ListsConversationsAsAPersonReadsThem) {
  devsim::testing::SimHarness sim;
  devsim::DeviceSpec farm_device;
  farm_device.seed = 61;
  farm_device.product_version = "12.4";
  farm_device.media_files = 2;
  farm_device.sms.messages = 90;
  farm_device.sms.chats = 5;
  const std::string udid = sim.AddDevice(farm_device);
  ASSERT_TRUE(sim.Start());
  std::map<std::string, Expected> expected =
      ReadFarmDatabase(sim.farm_dir() / "devices" / udid /
                           "fs/private/var/mobile/Library/SMS/sms.db", false);

  devsim::testing::ToolResult list = sim.Run(
      {VADO_VADOCTL_PATH, "--no-simulator", "--udid", udid, "messages", "--readable"}, 50);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out.rfind("CONVERSATION", 0), 0u) << list.out;
  EXPECT_NE(list.out.find("(group)"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("(not in a conversation)"), std::string::npos) << list.out;
  size_t lines = 0;
  for (char c : list.out) lines += c == '\n';
  EXPECT_EQ(lines, expected.size() + 1) << list.out;

  // A one-to-one conversation: its messages in order, the user's own shown as "Me".
  std::string one;
  for (const auto& [id, e] : expected) {
    if (!id.empty() && id.rfind("chat", 0) != 0) one = id;
  }
  ASSERT_FALSE(one.empty());
  devsim::testing::ToolResult chat = sim.Run({VADO_VADOCTL_PATH, "--no-simulator", "--udid", udid,
                                              "messages", "--via", "cached", "--chat", one,
                                              "--readable"}, 50);
  EXPECT_NE(chat.status, 0) << "nothing is cached in a new agent";
  chat = sim.Run({VADO_VADOCTL_PATH, "--no-simulator", "--udid", udid, "messages", "--chat", one,
                  "--readable"}, 50);
  ASSERT_EQ(chat.status, 0) << chat.err;
  size_t chat_lines = 0;
  for (char c : chat.out) chat_lines += c == '\n';
  EXPECT_EQ(chat_lines, expected[one].message_ids.size() + 1) << chat.out;
  EXPECT_NE(chat.out.find(" Me: "), std::string::npos) << chat.out;

  devsim::testing::ToolResult json =
      sim.Run({VADO_VADOCTL_PATH, "--no-simulator", "--udid", udid, "messages", "--json"}, 50);
  ASSERT_EQ(json.status, 0) << json.err;
  size_t objects = 0;
  size_t start = 0;
  for (size_t end = json.out.find('\n'); end != std::string::npos;
       start = end + 1, end = json.out.find('\n', start)) {
    rapidjson::Document line;
    line.Parse(json.out.substr(start, end - start).c_str());
    ASSERT_TRUE(line.IsObject() && line.HasMember("message_count"));
    ++objects;
  }
  EXPECT_EQ(objects, expected.size());
  EXPECT_EQ(sim.Run({VADO_VADOCTL_PATH, "--no-simulator", "messages", "--via", "fax"}).status, 2);
}

}  // namespace
