// The snapshot pieces: when a database file is accepted, what pruning keeps, and a tool
// that is supervised, ended and cleaned up after.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "utility/module/database/message_db_name.h"
#include "utility/module/itunes/message_snapshot.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vado-snapshot-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    timing_.poll = 100ms;
    timing_.settle = 0ms;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The bytes of a small valid database.
  std::string DatabaseBytes() {
    const fs::path file = dir_ / "source.sqlite";
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE message (text); INSERT INTO message VALUES ('hello');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return Read(file);
  }
  static std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void Write(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
  }
  std::set<std::string> Files() const {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), dir_).string());
    }
    return files;
  }

  fs::path dir_;
  SnapshotTiming timing_;
};

TEST_F(SnapshotTest, AFileIsCheckedOnlyOnceItsSizeHolds) {
  const std::string tool = (dir_ / "R").string() + "/";
  SnapshotWatch watch = MakeSnapshotWatch(tool, dir_.string() + "/", kMessageDbFileName);
  const std::string path = watch.candidates[1];
  EXPECT_EQ(path, tool + "3d/" + kMessageDbFileName);
  int32_t found = 0;
  EXPECT_FALSE(CopyIfSettled(&found, path, watch, timing_, nullptr)) << "absent";
  const std::string bytes = DatabaseBytes();
  Write(path, bytes.substr(0, bytes.size() / 2));
  CopyIfSettled(&found, path, watch, timing_, nullptr);
  Write(path, bytes);  // grew since the last poll
  CopyIfSettled(&found, path, watch, timing_, nullptr);
  EXPECT_EQ(watch.found, 0);
  EXPECT_FALSE(fs::exists(path + ".db")) << "a growing file is never checked";
  Write(path + "-wal", "wal bytes");
  CopyIfSettled(&found, path, watch, timing_, nullptr);
  EXPECT_EQ(watch.found, 1);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(Read(watch.destination), bytes);
  EXPECT_EQ(Read(watch.destination + "-wal"), "wal bytes");
  EXPECT_FALSE(fs::exists(watch.destination + "-shm"));
}

TEST_F(SnapshotTest, ADatabaseFailingTheQuickCheckIsNeverAccepted) {
  SnapshotWatch watch = MakeSnapshotWatch(dir_.string() + "/", dir_.string() + "/out-",
                                          kMessageDbFileName);
  std::string bytes = DatabaseBytes();
  for (size_t i = 100; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5);
  Write(watch.candidates[0], bytes);
  int32_t found = 0;
  for (int poll = 0; poll < 4; ++poll) CopyIfSettled(&found, watch.candidates[0], watch, timing_, nullptr);
  EXPECT_EQ(found, 0);
  EXPECT_FALSE(fs::exists(watch.destination));
  EXPECT_TRUE(IsQuickCheckOk("ok"));
  EXPECT_TRUE(IsQuickCheckOk("OK"));
  EXPECT_TRUE(IsQuickCheckOk("Ok"));
  EXPECT_FALSE(IsQuickCheckOk("ok "));
  EXPECT_FALSE(IsQuickCheckOk("*** in database main ***\nPage 3: btreeInitPage() returns error code 11"));
  EXPECT_FALSE(IsQuickCheckOk(""));
}

TEST_F(SnapshotTest, PruningKeepsTheDatabaseItsCompanionsAndTheBackupLists) {
  const std::string n = kMessageDbFileName;
  const std::string other = "0123456789abcdef0123456789abcdef01234567";
  const std::string other3d = "3d" + other.substr(2);
  for (const std::string& name :
       {n, n + "-wal", n + "-shm", other, std::string("Manifest.plist"), std::string("Info.plist"),
        std::string("Status.plist"), std::string("Manifest.db"), "3d/" + n, "3d/" + other3d,
        "01/" + other, "Snapshot/" + other, "Snapshot/3d/" + n}) {
    Write(dir_ / name, "x");
  }
  const std::string root = dir_.string() + "/";
  EXPECT_EQ(PruneBackupFolder(root, n), 3u);
  EXPECT_EQ(Files(), (std::set<std::string>{n, n + "-wal", n + "-shm", "Manifest.plist",
                                            "Info.plist", "Status.plist", "Manifest.db",
                                            "3d/" + n, "Snapshot/" + other,
                                            "Snapshot/3d/" + n}));
  EXPECT_EQ(PruneBackupFolder(root + "Snapshot/", n), 1u);
  EXPECT_FALSE(fs::exists(dir_ / "Snapshot" / other));
  EXPECT_TRUE(fs::exists(dir_ / "Snapshot/3d" / n));
}

TEST(SnapshotAffinity, TheToolRunsOnTheLowerHalfOfTheProcessors) {
  EXPECT_EQ(ToolAffinityMask(8), 0xFu);
  EXPECT_EQ(ToolAffinityMask(1), 0x1u);
  EXPECT_EQ(ToolAffinityMask(2), 0x1u);
  EXPECT_EQ(ToolAffinityMask(3), 0x1u);
  EXPECT_EQ(ToolAffinityMask(6), 0x7u);
}

// A stand-in tool: writes the database into the tool folder in two steps and then stays.
class ToolTest : public SnapshotTest {
 protected:
  std::string Script(const std::string& body) {
    const fs::path script = dir_ / "tool.sh";
    std::ofstream(script) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(script, fs::perms::owner_all);
    return script.string();
  }
  static bool Alive(pid_t pid) { return ::kill(pid, 0) == 0; }
};

TEST_F(ToolTest, AnAcceptedDatabaseEndsTheToolAndOnlyTheCopyRemains) {
  const std::string n = kMessageDbFileName;
  const std::string bytes = DatabaseBytes();
  Write(dir_ / "half", bytes.substr(0, bytes.size() / 2));
  Write(dir_ / "full", bytes);
  const std::string tool = dir_.string() + "/F/UDID/";
  const std::string script = Script(
      "echo $$ > " + dir_.string() + "/pid\n"
      "mkdir -p " + tool + "Snapshot/3d\n"
      "echo x > " + tool + "Snapshot/0123456789abcdef0123456789abcdef01234567\n"
      "echo x > " + tool + "Manifest.plist\n"
      "cp " + dir_.string() + "/half " + tool + "Snapshot/3d/" + n + "\n"
      "sleep 0.3\n"
      "cp " + dir_.string() + "/full " + tool + "Snapshot/3d/" + n + "\n"
      "exec sleep 30");
  std::vector<SnapshotWatch> watches{MakeSnapshotWatch(tool, dir_.string() + "/F/", n)};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunBackupTool(script, {"-u", "UDID"}, tool, watches, timing_, nullptr), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(watches[0].found, 1);
  EXPECT_EQ(Read(dir_ / "F" / n), bytes);
  EXPECT_FALSE(fs::exists(tool)) << "the tool's folder is deleted";
  const pid_t pid = std::stoi(Read(dir_ / "pid"));
  EXPECT_FALSE(Alive(pid)) << "the tool is ended";
}

TEST_F(ToolTest, CancellingEndsTheToolWithinTwoSeconds) {
  const std::string tool = dir_.string() + "/F/UDID/";
  const std::string script =
      Script("echo $$ > " + dir_.string() + "/pid\nmkdir -p " + tool + "\nexec sleep 30");
  std::vector<SnapshotWatch> watches{MakeSnapshotWatch(tool, dir_.string() + "/F/",
                                                       kMessageDbFileName)};
  timing_.poll = 2000ms;
  const auto start = std::chrono::steady_clock::now();
  auto cancelled = [&] { return std::chrono::steady_clock::now() - start > 500ms; };
  EXPECT_EQ(RunBackupTool(script, {}, tool, watches, timing_, cancelled), 6);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  const pid_t pid = std::stoi(Read(dir_ / "pid"));
  EXPECT_FALSE(Alive(pid));
  EXPECT_FALSE(fs::exists(tool));
}

TEST_F(ToolTest, AToolThatEndsWithoutTheDatabaseLeavesNoResult) {
  const std::string tool = dir_.string() + "/F/UDID/";
  std::vector<SnapshotWatch> watches{MakeSnapshotWatch(tool, dir_.string() + "/F/",
                                                       kMessageDbFileName)};
  EXPECT_EQ(RunBackupTool(Script("exit 3"), {}, tool, watches, timing_, nullptr), 0);
  EXPECT_EQ(watches[0].found, 0);
  EXPECT_EQ(RunBackupTool((dir_ / "missing-tool").string(), {}, tool, watches, timing_, nullptr),
            kSnapshotToolNotStarted);
}

}  // namespace
