// Wiping devices end to end: the agent against the simulator. 1701 overwrites the data
// partition's free space (the simulator enforces it), 1700 empties the private media
// folders, uninstalls the user applications and restores a backup.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "agent_fixture.h"
#include "common/json_text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint64_t kMiB = 1ull << 20;

// Every regular file below `root`, relative to it.
std::vector<std::string> FilesIn(const fs::path& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) out.push_back(fs::relative(it->path(), root).string());
  }
  return out;
}

// The folders 1700 empties, relative to the media partition.
const char* const kWipedFolders[] = {
    "PhotoData/Thumbnails", "PhotoData/MISC",  "PhotoData/Metadata",
    "PhotoData/Videos",     "PhotoData/AlbumsMetadata", "PhotoData/Logs",
    "PhotoData/Caches",     "PhotoData/PhotoCloudSharingData", "Photos",
    "PhotoStreamsData",     "DCIM",            "iTunes_Control",
    "Books",                "Podcasts",        "Purchases",
    "Radio",                "Recordings",      "Downloads"};

class EraseTest : public AgentFixture {
 protected:
  void Start(uint64_t data_free, uint64_t apps = 0, uint64_t backup_files = 0) {
    devsim::DeviceSpec farm_device;
    farm_device.seed = 51;
    farm_device.media_files = 3;
    farm_device.apps = apps;
    farm_device.backup_files = backup_files;
    farm_device.backup_bytes = backup_files * 1000;
    farm_device.data_free = data_free;
    udid_ = Add(farm_device);
    StartAll();
    handle_ = WaitArrival(udid_);
    ASSERT_NE(handle_, 0);
  }
  fs::path Media() const {
    return sim_.farm_dir() / "devices" / udid_ / "fs/private/var/mobile/Media";
  }
  // Sends an erase request and waits for its result; `progress` gets the task's progress
  // messages as (kind, percent).
  const Seen* Wipe(uint32_t command, uint64_t task, const std::string& body, int sections = 1,
                   std::vector<std::pair<int64_t, int64_t>>* progress = nullptr) {
    SendRequest(command, task, udid_, handle_, body, sections);
    std::vector<const Seen*> messages;
    const Seen* result = WaitForResult(task, &messages, 55s);
    if (progress != nullptr) {
      for (const Seen* s : messages) {
        if (s->message.kind == 2 && s->header.IsObject() && s->header.HasMember("stage")) {
          progress->emplace_back(s->header["stage"].GetInt64(), Code(*s));
        }
      }
    }
    return result;
  }
  static std::string ErrorText(const Seen& result) {
    const rapidjson::Value& h = result.header;
    if (!h.IsObject() || !h.HasMember("info") || !h["info"].IsObject()) return "<no info>";
    const rapidjson::Value& info = h["info"];
    return info.HasMember("error") && info["error"].IsString() ? info["error"].GetString()
                                                               : "<no error>";
  }
  // The percentages of one progress kind, in order.
  static std::vector<int64_t> Percents(const std::vector<std::pair<int64_t, int64_t>>& progress,
                                       int64_t kind) {
    std::vector<int64_t> out;
    for (const auto& [k, percent] : progress) {
      if (k == kind) out.push_back(percent);
    }
    return out;
  }
  // The free bytes the device reports through lockdown (they follow what AFC stores).
  uint64_t FreeBytes() {
    devsim::testing::ToolResult r =
        sim_.Run({"ideviceinfo", "-u", udid_, "-q", "com.apple.disk_usage", "-k",
                  "TotalDataAvailable"});
    return r.status == 0 ? std::stoull(r.out) : 0;
  }

  std::string udid_;
  int64_t handle_ = 0;
};

}  // namespace

// Level 1 on 1.5 GiB free: three 512 MiB files fill the partition, progress rises to 100,
// nothing stays in /iostemp and the free space is back afterwards.
TEST_F(EraseTest, FreeSpaceWipeFillsThePartitionAndLeavesNothingBehind) {
  Start(1536 * kMiB);
  std::vector<std::pair<int64_t, int64_t>> progress;
  const Seen* result = Wipe(1701, 10, "{\"level\":1}", 1, &progress);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0) << ErrorText(*result);
  EXPECT_EQ(ErrorText(*result), "");
  const std::vector<int64_t> percents = Percents(progress, 0);
  ASSERT_FALSE(percents.empty());
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_GT(percents.front(), 0);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_FALSE(fs::exists(Media() / "iostemp"));
  EXPECT_EQ(FreeBytes(), 1536 * kMiB);
}

// Level 3 runs two passes only (progress crosses 50 and ends at 100); level 0 writes
// nothing and answers 2 because the free space was not covered.
TEST_F(EraseTest, FreeSpaceWipeRunsAtMostTwoPassesAndLevelZeroAnswersTwo) {
  Start(600 * kMiB);
  std::vector<std::pair<int64_t, int64_t>> progress;
  const Seen* result = Wipe(1701, 20, "{\"level\":3}", 1, &progress);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0) << ErrorText(*result);
  const std::vector<int64_t> percents = Percents(progress, 0);
  // Pass 1 (512 MiB files): 512 of 600 MiB is 85 % of its half, then full; pass 2 (1 GiB
  // files) fills the partition with its first file.
  EXPECT_EQ(percents, (std::vector<int64_t>{43, 50, 100}));
  EXPECT_FALSE(fs::exists(Media() / "iostemp"));

  progress.clear();
  result = Wipe(1701, 21, "{\"level\":0}", 1, &progress);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 2);
  EXPECT_TRUE(Percents(progress, 0).empty());
  EXPECT_FALSE(fs::exists(Media() / "iostemp"));
  EXPECT_EQ(FreeBytes(), 600 * kMiB);
}

// A write failing in the middle of the pass (not a full device) ends the wipe as not
// covered (2) instead of counting the unwritten bytes as done, and cleans up.
TEST_F(EraseTest, FreeSpaceWipeWithAFailingWriteIsNotReportedAsDone) {
  Start(1024 * kMiB);
  ASSERT_EQ(sim_.Control({"fault", udid_, "afc-fail-write-block", "10"}).status, 0);
  const Seen* result = Wipe(1701, 30, "{\"level\":1}");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 2);
  EXPECT_FALSE(fs::exists(Media() / "iostemp"));
  EXPECT_EQ(FreeBytes(), 1024 * kMiB);
}

// A cancel during the pass answers 6 "Task cancelled." within two seconds and removes
// everything the pass wrote.
TEST_F(EraseTest, CancelDuringTheFreeSpaceWipeStopsAndCleansUp) {
  Start(1536 * kMiB);
  SendRequest(1701, 40, udid_, handle_, "{\"level\":1}");
  ASSERT_TRUE(WaitFor([](const Seen& s) { return s.message.task_id == 40 && s.message.kind == 2; },
                      30s));
  ASSERT_NE(ExpectCancelledInTime(udid_, 40, 41), nullptr);
  EXPECT_FALSE(fs::exists(Media() / "iostemp"));
  EXPECT_EQ(FreeBytes(), 1536 * kMiB);
}

// Section counts other than 1 answer 0 and touch nothing; a body that is not JSON gives 8.
TEST_F(EraseTest, ErasesWithoutExactlyOneBodySectionDoNothing) {
  Start(512 * kMiB, 2);
  const std::vector<std::string> before = FilesIn(Media());
  const Seen* result = Wipe(1701, 50, "{\"level\":1}", 2);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  result = Wipe(1700, 51, "{\"path\":\"/nowhere\"}", 2);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  EXPECT_EQ(FilesIn(Media()), before);
  EXPECT_FALSE(fs::exists(Media() / "iostemp"));
  EXPECT_TRUE(fs::exists(sim_.farm_dir() / "devices" / udid_ / "apps/com.spotify.client") ||
              fs::directory_iterator(sim_.farm_dir() / "devices" / udid_ / "apps") !=
                  fs::directory_iterator());
  result = Wipe(1700, 52, "not json");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 8);
}

// 1700: every private folder loses what was put there after the backup, the user
// applications go (system ones stay), and the backup's files are back.
TEST_F(EraseTest, PrivateDataWipeEmptiesFoldersUninstallsAppsAndRestores) {
  Start(2048 * kMiB, 3, 4);
  const fs::path root = sim_.dir() / "backups";
  SendRequest(1600, 60, udid_, handle_, "{\"path\":" + JsonQuote(root.string()) + "}");
  std::vector<const Seen*> messages;
  const Seen* backup = WaitForResult(60, &messages, 55s);
  ASSERT_NE(backup, nullptr);
  ASSERT_EQ(Code(*backup), 0);
  std::string folder;
  for (const Seen* s : messages) {
    rapidjson::Document data;
    data.Parse(s->message.body.c_str());
    if (data.IsObject() && data.HasMember("BackupDir")) folder = data["BackupDir"].GetString();
  }
  ASSERT_FALSE(folder.empty());
  const std::vector<std::string> backed_up = FilesIn(Media());
  for (const char* wiped : kWipedFolders) {
    std::ofstream(Media() / wiped / "after-backup.txt") << "private";
  }

  std::vector<std::pair<int64_t, int64_t>> progress;
  const Seen* result = Wipe(1700, 61,
                            "{\"path\":" + JsonQuote(folder) + ",\"sourceDeviceId\":" +
                                JsonQuote(udid_) + "}",
                            1, &progress);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0) << ErrorText(*result);
  for (const char* wiped : kWipedFolders) {
    EXPECT_TRUE(fs::is_directory(Media() / wiped)) << wiped << " is kept";
    EXPECT_FALSE(fs::exists(Media() / wiped / "after-backup.txt")) << wiped;
  }
  for (const std::string& file : backed_up) EXPECT_TRUE(fs::exists(Media() / file)) << file;
  size_t system_apps = 0;
  for (const auto& app : fs::directory_iterator(sim_.farm_dir() / "devices" / udid_ / "apps")) {
    const std::string id = app.path().filename().string();
    EXPECT_EQ(id.rfind("com.apple.", 0), 0u) << id << " was not uninstalled";
    ++system_apps;
  }
  EXPECT_GT(system_apps, 0u);
  const std::vector<int64_t> folders = Percents(progress, 0);
  ASSERT_EQ(folders.size(), 23u);
  EXPECT_EQ(folders.front(), 4);
  EXPECT_EQ(folders.back(), 100);
  EXPECT_EQ(Percents(progress, 2), (std::vector<int64_t>{33, 66, 100}));
}

// Ctrl-C during `vadoctl wipe-free` cancels the agent's task (600): vadoctl exits with 3
// at once and the device keeps nothing of the wipe.
TEST_F(EraseTest, InterruptedVadoctlWipeFreeCancelsTheTask) {
  Start(16384 * kMiB);  // zeros cost no host disk; long enough to interrupt
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string kv = *e;
    if (kv.rfind("USBMUXD_SOCKET_ADDRESS=", 0) != 0 && kv.rfind("HOME=", 0) != 0) env.push_back(kv);
  }
  env.push_back("USBMUXD_SOCKET_ADDRESS=UNIX:" + sim_.socket_path());
  env.push_back("HOME=" + sim_.dir().string());
  std::vector<std::string> args = {VADO_VADOCTL_PATH, "--no-simulator", "--udid", udid_,
                                   "wipe-free", "--level", "1"};
  auto pointers = [](std::vector<std::string>& v) {
    std::vector<char*> out;
    for (std::string& s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
  };
  std::vector<char*> argv = pointers(args);
  std::vector<char*> envp = pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Interrupt once the wipe has written something.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!fs::exists(Media() / "iostemp") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(300ms);
  ::kill(pid, SIGINT);
  const auto interrupted = std::chrono::steady_clock::now();
  int status = -1;
  while (::waitpid(pid, &status, WNOHANG) == 0 &&
         std::chrono::steady_clock::now() - interrupted < 20s) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 10s);
  // The cancelled wipe removes its folder before it answers.
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = !fs::exists(Media() / "iostemp");
    if (!gone) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(gone);
  EXPECT_EQ(FreeBytes(), 16384 * kMiB);
}

// The device stops answering AFC writes in the middle of the pass: a cancel is still
// answered (6) within two seconds, and once the device answers again the wipe stops and
// removes its folder.
TEST_F(EraseTest, CancelIsAnsweredInTimeWhileTheDeviceStallsAWrite) {
  devsim::DeviceSpec farm_device;
  farm_device.seed = 52;
  farm_device.data_free = 8192 * kMiB;
  udid_ = Add(farm_device);
  // The stall applies to AFC connections opened after it is set: set it before the agent.
  ASSERT_TRUE(sim_.Start());
  sim_.ExportSocket();
  sim_started_ = false;
  ASSERT_EQ(sim_.Control({"fault", udid_, "service-stall", "8192", "com.apple.afc"}).status, 0);
  StartAll();
  handle_ = WaitArrival(udid_);
  ASSERT_NE(handle_, 0);
  SendRequest(1701, 70, udid_, handle_, "{\"level\":1}");
  // Stuck once the bytes in /iostemp stop growing.
  auto stored = [&] {
    uint64_t total = 0;
    std::error_code ec;
    for (const auto& f : fs::directory_iterator(Media() / "iostemp", ec)) total += f.file_size();
    return total;
  };
  uint64_t last = 0;
  int steady = 0;
  for (int i = 0; i < 300 && steady < 5; ++i) {
    std::this_thread::sleep_for(100ms);
    const uint64_t now = stored();
    steady = now > 0 && now == last ? steady + 1 : 0;
    last = now;
  }
  ASSERT_EQ(steady, 5) << "the wipe never stalled";
  ASSERT_NE(ExpectCancelledInTime(udid_, 70, 71), nullptr);

  ASSERT_EQ(sim_.Control({"fault", udid_, "clear"}).status, 0);
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = !fs::exists(Media() / "iostemp");
    if (!gone) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(gone);
}

// The device leaves an uninstall of the private-data wipe unanswered: a cancel is still
// answered (6) within two seconds, and no application is removed after it.
TEST_F(EraseTest, CancelIsAnsweredInTimeWhileTheDeviceStallsAnUninstall) {
  Start(2048 * kMiB, 3);
  ASSERT_EQ(sim_.Control({"fault", udid_, "uninstall-stall", "1"}).status, 0);
  const fs::path apps = sim_.farm_dir() / "devices" / udid_ / "apps";
  auto user_apps = [&] {
    size_t count = 0;
    for (const auto& app : fs::directory_iterator(apps)) {
      if (app.path().filename().string().rfind("com.apple.", 0) != 0) ++count;
    }
    return count;
  };
  ASSERT_EQ(user_apps(), 3u);
  SendRequest(1700, 80, udid_, handle_,
              "{\"path\":" + JsonQuote((sim_.dir() / "no-backup").string()) +
                  ",\"sourceDeviceId\":" + JsonQuote(udid_) + "}");
  // The folders are done; the first uninstall follows at once and gets no answer.
  const Seen* folders_done = WaitFor([](const Seen& s) {
    return s.message.task_id == 80 && s.message.kind == 2 && s.header.IsObject() &&
           s.header.HasMember("stage") && s.header["stage"].GetInt64() == 0 && Code(s) == 100;
  });
  ASSERT_NE(folders_done, nullptr);
  std::this_thread::sleep_for(500ms);
  ASSERT_NE(ExpectCancelledInTime(udid_, 80, 81), nullptr);
  ASSERT_EQ(sim_.Control({"fault", udid_, "clear"}).status, 0);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(user_apps(), 3u);
}
