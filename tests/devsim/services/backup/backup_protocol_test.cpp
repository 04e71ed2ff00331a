// The backup service message by message, with a scripted computer side: progress, the shape
// of the device's requests, Hello, the goodbye, hostile paths, hostile restores and broken
// input from the host.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include "services/backup/backup_content.h"
#include "backup_host.h"
#include "farm/file_util.h"
#include "plist/plist_ptr.h"
#include "sim_harness.h"

namespace devsim::testing {
namespace {

DeviceSpec Spec(uint64_t seed) {
  DeviceSpec s;
  s.seed = seed;
  s.media_files = 2;
  s.backup_files = 30;
  s.backup_bytes = 30 * 5000;
  return s;
}

class BackupProtocol : public ::testing::Test {
 protected:
  void StartWith(uint64_t seed) {
    udid_ = sim_.AddDevice(Spec(seed));
    ASSERT_TRUE(sim_.Start());
    sim_.ExportSocket();
  }
  // A connected host that has said Hello.
  std::unique_ptr<BackupHost> Host() {
    auto host = std::make_unique<BackupHost>(udid_);
    EXPECT_TRUE(host->connected());
    if (host->connected()) {
      EXPECT_DOUBLE_EQ(host->Hello(), 2.1);
    }
    return host;
  }
  HostRun Backup(BackupHost& host) {
    Plist options = NewDict();
    SetBool(options.get(), "ForceFullBackup", true);
    EXPECT_TRUE(host.Request("Backup", options.get()));
    return host.Drive();
  }
  int64_t ResultCode(const HostRun& run) {
    return static_cast<int64_t>(DictUint(run.result.get(), "ErrorCode").value_or(999));
  }
  SimHarness sim_;
  std::string udid_;
};

TEST_F(BackupProtocol, EveryRequestCarriesRisingProgressThatEndsAt100) {
  StartWith(31);
  auto host = Host();
  HostRun run = Backup(*host);
  ASSERT_EQ(run.end, "result");
  EXPECT_EQ(ResultCode(run), 0);
  EXPECT_TRUE(run.upload_messages_well_formed);
  ASSERT_FALSE(run.progress.empty());
  double last = 0;
  for (const auto& [name, p] : run.progress) {
    EXPECT_GE(p, last) << name;
    EXPECT_LE(p, 100.0) << name;
    last = p;
  }
  EXPECT_EQ(run.progress.back().first, "DLMessageUploadFiles");
  EXPECT_DOUBLE_EQ(run.progress.back().second, 100.0);
  // Status first, then free space before anything is written.
  EXPECT_EQ(run.names.front(), "DLMessageDownloadFiles");
  EXPECT_EQ(run.downloads.front(), std::vector<std::string>{udid_ + "/Status.plist"});
  auto free_at = std::find(run.names.begin(), run.names.end(), "DLMessageGetFreeDiskSpace");
  auto upload_at = std::find(run.names.begin(), run.names.end(), "DLMessageUploadFiles");
  EXPECT_LT(free_at, upload_at);
}

TEST_F(BackupProtocol, FilesGoIntoTheSnapshotAndAreMovedOutOfIt) {
  StartWith(32);
  auto host = Host();
  HostRun run = Backup(*host);
  ASSERT_EQ(ResultCode(run), 0);
  for (const auto& t : run.upload_targets) {
    EXPECT_EQ(t.rfind(udid_ + "/", 0), 0u) << t;
  }
  for (const auto& [from, to] : run.moves) {
    EXPECT_EQ(from.rfind(udid_ + "/Snapshot/", 0), 0u) << from;
    // Files, not folders, are moved, into a folder the device created first.
    std::string folder = to.substr(0, to.rfind('/'));
    EXPECT_TRUE(folder == udid_ ||
                std::find(run.created.begin(), run.created.end(), folder) != run.created.end())
        << to;
  }
  EXPECT_EQ(run.removes, std::vector<std::string>{udid_ + "/Snapshot"});
  // What the host holds in the end: the layout, the manifests and a finished status.
  std::string id = BackupFileId("MediaDomain", "Media/Bulk/000/file_0000007.bin");
  EXPECT_EQ(host->files.count(udid_ + "/" + id.substr(0, 2) + "/" + id), 1u);
  EXPECT_EQ(host->files.count(udid_ + "/Manifest.db"), 1u);
  EXPECT_EQ(host->files[udid_ + "/Manifest.db"].rfind("SQLite format 3", 0), 0u);
  Plist status = ParsePlist(host->files[udid_ + "/Status.plist"]);
  EXPECT_EQ(DictString(status.get(), "SnapshotState").value_or(""), "finished");
  for (const auto& [path, data] : host->files) EXPECT_EQ(path.find("/Snapshot/"), std::string::npos);
}

TEST_F(BackupProtocol, VariantRequestsEachWaitForTheirAnswer) {
  StartWith(38);
  ASSERT_EQ(sim_.Control({"fault", udid_, "backup-variants", "1"}).status, 0);
  auto host = Host();
  HostRun run = Backup(*host);
  ASSERT_EQ(run.end, "result");
  EXPECT_EQ(ResultCode(run), 0);
  for (const char* name : {"DLMessagePurgeDiskSpace", "DLMessageMoveFiles", "DLMessageRemoveFiles",
                           "DLMessageCopyItem"}) {
    EXPECT_NE(std::find(run.names.begin(), run.names.end(), name), run.names.end()) << name;
  }
  for (const char* name : {"DLMessageMoveItems", "DLMessageRemoveItems"}) {
    EXPECT_EQ(std::find(run.names.begin(), run.names.end(), name), run.names.end()) << name;
  }
  // The copy went into the snapshot and left with it.
  for (const auto& [path, data] : host->files) EXPECT_EQ(path.find("Snapshot"), std::string::npos);
  EXPECT_EQ(host->files.count(udid_ + "/Manifest.plist"), 1u);
}

TEST_F(BackupProtocol, TooLittleRoomOnTheComputerEndsTheBackupWith105) {
  StartWith(33);
  auto host = Host();
  host->free_space = 1000;
  HostRun run = Backup(*host);
  ASSERT_EQ(run.end, "result");
  EXPECT_EQ(ResultCode(run), 105);
  EXPECT_TRUE(run.upload_targets.empty());
}

TEST_F(BackupProtocol, HelloPicksTheHighestCommonVersionOrRefuses) {
  StartWith(34);
  BackupHost a(udid_);
  EXPECT_DOUBLE_EQ(a.Hello({2.0}), 2.0);
  BackupHost b(udid_);
  EXPECT_EQ(b.Hello({3.0, 4.0}), 0);
  // An integer 2 counts as 2.0, as some hosts send it.
  BackupHost c(udid_);
  Plist hello = NewArray();
  plist_array_append_item(hello.get(), plist_new_string("DLMessageProcessMessage"));
  Plist dict = NewDict();
  SetString(dict.get(), "MessageName", "Hello");
  Plist versions = NewArray();
  plist_array_append_item(versions.get(), plist_new_uint(2));
  SetNode(dict.get(), "SupportedProtocolVersions", std::move(versions));
  plist_array_append_item(hello.get(), dict.release());
  ASSERT_TRUE(c.SendMessage(hello.get()));
  Plist reply;
  std::string name;
  ASSERT_TRUE(c.Receive(&reply, &name));
  plist_t body = plist_array_get_item(reply.get(), 1);
  EXPECT_EQ(DictUint(body, "ErrorCode").value_or(9), 0u);
  plist_t version = DictItem(body, "ProtocolVersion");
  ASSERT_TRUE(version);
  EXPECT_EQ(plist_get_node_type(version), PLIST_REAL);
}

TEST_F(BackupProtocol, AHostThatAnswersTheFinalResultGetsADisconnect) {
  StartWith(35);
  auto host = Host();
  HostRun run = Backup(*host);
  ASSERT_EQ(ResultCode(run), 0);
  Plist status = NewArray();
  plist_array_append_item(status.get(), plist_new_string("DLMessageStatusResponse"));
  plist_array_append_item(status.get(), plist_new_uint(0));
  plist_array_append_item(status.get(), plist_new_string("___EmptyParameterString___"));
  plist_array_append_item(status.get(), plist_new_dict());
  ASSERT_TRUE(host->SendMessage(status.get()));
  Plist bye;
  std::string name;
  ASSERT_TRUE(host->Receive(&bye, &name));
  EXPECT_EQ(name, "DLMessageDisconnect");
}

struct HostileCase {
  const char* setting;
  const char* path;
  const char* label;
};

class HostileDevice : public BackupProtocol, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileDevice, SendsThePathThatLeavesTheBackupFolder) {
  StartWith(36);
  const HostileCase& c = GetParam();
  std::string path = c.path;
  if (path == "OTHER") path = "FFFFFFFF-0000000000000000/escaped";
  ASSERT_EQ(sim_.Control({"fault", udid_, "backup-hostile", "0", std::string(c.setting) + ":" + path})
                .status,
            0);
  auto host = Host();
  HostRun run = Backup(*host);
  std::string op = c.setting;
  if (op == "upload") {
    EXPECT_NE(std::find(run.upload_targets.begin(), run.upload_targets.end(), path),
              run.upload_targets.end());
  } else if (op == "move") {
    bool found = false;
    for (const auto& [from, to] : run.moves) found |= to == path;
    EXPECT_TRUE(found);
  } else {
    EXPECT_NE(std::find(run.removes.begin(), run.removes.end(), path), run.removes.end());
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, HostileDevice,
                         ::testing::Values(HostileCase{"upload", "../x", "UploadAboveTheRoot"},
                                           HostileCase{"move", "/tmp/vado-hostile-target", "MoveToAnAbsolutePath"},
                                           HostileCase{"remove", "OTHER", "RemoveInAnotherDevicesFolder"},
                                           HostileCase{"upload", "OTHER", "UploadIntoAnotherDevicesFolder"}),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           return std::string(info.param.label);
                         });

TEST_F(BackupProtocol, HostilePathCanBeAFarmSetting) {
  udid_ = sim_.AddDevice(Spec(37));
  fs::path settings = sim_.farm_dir() / "devices" / udid_ / "backup.plist";
  Plist p = ReadPlistFile(settings);
  ASSERT_TRUE(p);
  SetString(p.get(), "Hostile", "remove:../outside");
  ASSERT_TRUE(WritePlistFile(settings, p.get()));
  ASSERT_TRUE(sim_.Start());
  sim_.ExportSocket();
  auto host = Host();
  HostRun run = Backup(*host);
  EXPECT_NE(std::find(run.removes.begin(), run.removes.end(), "../outside"), run.removes.end());
}

TEST_F(BackupProtocol, DirectLayoutUploadsStraightToTheFinalPlaces) {
  udid_ = sim_.AddDevice(Spec(42));
  fs::path settings = sim_.farm_dir() / "devices" / udid_ / "backup.plist";
  Plist p = ReadPlistFile(settings);
  ASSERT_TRUE(p);
  SetBool(p.get(), "Direct", true);
  ASSERT_TRUE(WritePlistFile(settings, p.get()));
  ASSERT_TRUE(sim_.Start());
  sim_.ExportSocket();
  auto host = Host();
  HostRun run = Backup(*host);
  ASSERT_EQ(ResultCode(run), 0);
  EXPECT_TRUE(run.moves.empty());
  EXPECT_TRUE(run.removes.empty());
  for (const auto& t : run.upload_targets) EXPECT_EQ(t.find("Snapshot"), std::string::npos) << t;
  std::string id = BackupFileId("HomeDomain", "Library/Preferences/.GlobalPreferences.plist");
  EXPECT_EQ(host->files.count(udid_ + "/" + id.substr(0, 2) + "/" + id), 1u);
  EXPECT_EQ(host->files.count(udid_ + "/Manifest.db"), 1u);
}

// Writes a Manifest.db with the given (domain, relativePath) files.
std::string ManifestDbWith(const std::vector<std::pair<std::string, std::string>>& rows) {
  char tmpl[] = "/tmp/restore-manifest-XXXXXX";
  int fd = mkstemp(tmpl);
  close(fd);
  sqlite3* db = nullptr;
  sqlite3_open(tmpl, &db);
  sqlite3_exec(db, "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, "
                   "flags INTEGER, file BLOB)", nullptr, nullptr, nullptr);
  for (const auto& [domain, rel] : rows) {
    std::string sql = "INSERT INTO Files VALUES ('" + BackupFileId(domain, rel) + "','" + domain +
                      "','" + rel + "',1,NULL)";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
  std::string bytes = ReadWholeFile(tmpl).value_or("");
  unlink(tmpl);
  return bytes;
}

TEST_F(BackupProtocol, RestoreKeepsHostileManifestPathsInsideTheFarm) {
  StartWith(38);
  fs::path media = sim_.farm_dir() / "devices" / udid_ / "fs/private/var/mobile/Media";
  // A link in the farm that points out of it resolves inside the farm's folder.
  fs::create_directory_symlink(sim_.dir(), media / "link");
  auto host = Host();
  const std::string s = "SOURCE-1";
  Plist manifest = NewDict();
  SetBool(manifest.get(), "IsEncrypted", false);
  host->files[s + "/Manifest.plist"] = ToBinary(manifest.get());
  std::vector<std::pair<std::string, std::string>> rows = {
      {"MediaDomain", "Media/Downloads/restored.txt"},
      {"MediaDomain", "../../../../../../../escape.txt"},
      {"HomeDomain", "Library/../../../../../../../escape2.txt"},
      {"MediaDomain", "Media/link/escape3.txt"},
      {"KeychainDomain", "keychain-backup.plist"}};
  host->files[s + "/Manifest.db"] = ManifestDbWith(rows);
  for (const auto& [domain, rel] : rows) {
    std::string id = BackupFileId(domain, rel);
    host->files[s + "/" + id.substr(0, 2) + "/" + id] = "content of " + rel;
  }
  Plist options = NewDict();
  SetBool(options.get(), "RestoreShouldReboot", false);
  ASSERT_TRUE(host->Request("Restore", options.get(), s));
  HostRun run = host->Drive();
  ASSERT_EQ(run.end, "result");
  // The hostile rows are not restored, and the device says so.
  EXPECT_NE(ResultCode(run), 0);
  EXPECT_EQ(ReadWholeFile(media / "Downloads/restored.txt").value_or(""),
            "content of Media/Downloads/restored.txt");
  EXPECT_FALSE(fs::exists(sim_.dir() / "escape.txt"));
  EXPECT_FALSE(fs::exists(sim_.dir() / "escape2.txt"));
  EXPECT_FALSE(fs::exists(sim_.farm_dir() / "escape.txt"));
  EXPECT_FALSE(fs::exists(sim_.dir() / "escape3.txt"));
  // Every request names the source's folder; nothing of an unknown domain is asked for.
  for (const auto& paths : run.downloads) {
    for (const auto& p : paths) EXPECT_EQ(p.rfind(s + "/", 0), 0u) << p;
  }
  std::string keychain = BackupFileId("KeychainDomain", "keychain-backup.plist");
  for (const auto& paths : run.downloads) {
    for (const auto& p : paths) EXPECT_EQ(p.find(keychain), std::string::npos);
  }
}

TEST_F(BackupProtocol, RestoreWithoutManifestEndsWithAnError) {
  StartWith(39);
  auto host = Host();
  ASSERT_TRUE(host->Request("Restore", nullptr, "NOBACKUP"));
  HostRun run = host->Drive();
  ASSERT_EQ(run.end, "result");
  EXPECT_NE(ResultCode(run), 0);
}

TEST_F(BackupProtocol, RestoreAsksAgainForFilesAfterOneTheHostCannotSend) {
  StartWith(40);
  auto host = Host();
  const std::string s = "SOURCE-2";
  Plist manifest = NewDict();
  host->files[s + "/Manifest.plist"] = ToBinary(manifest.get());
  std::vector<std::pair<std::string, std::string>> rows;
  for (int i = 0; i < 5; ++i) rows.emplace_back("MediaDomain", "Media/R/f" + std::to_string(i));
  host->files[s + "/Manifest.db"] = ManifestDbWith(rows);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i == 1) continue;  // missing on the host
    std::string id = BackupFileId(rows[i].first, rows[i].second);
    host->files[s + "/" + id.substr(0, 2) + "/" + id] = "f" + std::to_string(i);
  }
  ASSERT_TRUE(host->Request("Restore", nullptr, s));
  HostRun run = host->Drive();
  ASSERT_EQ(run.end, "result");
  EXPECT_EQ(ResultCode(run), 104);  // one file missing is reported, not hidden
  fs::path media = sim_.farm_dir() / "devices" / udid_ / "fs/private/var/mobile/Media";
  for (int i : {0, 2, 3, 4}) {
    EXPECT_EQ(ReadWholeFile(media / ("R/f" + std::to_string(i))).value_or(""), "f" + std::to_string(i));
  }
}

TEST_F(BackupProtocol, BrokenHostInputEndsTheConnectionButNotTheDaemon) {
  StartWith(41);
  {
    auto host = Host();
    ASSERT_TRUE(host->SendRaw(std::string("\xFF\xFF\xFF\xFF", 4)));
    Plist m;
    std::string name;
    EXPECT_FALSE(host->Receive(&m, &name));
  }
  {
    // A download answered with an unknown chunk code throws the device out of step.
    auto host = Host();
    Plist options = NewDict();
    ASSERT_TRUE(host->Request("Backup", options.get()));
    Plist m;
    std::string name;
    ASSERT_TRUE(host->Receive(&m, &name));
    ASSERT_EQ(name, "DLMessageDownloadFiles");
    std::string path = udid_ + "/Status.plist";
    std::string junk = std::string("\0\0\0", 3) + static_cast<char>(path.size()) + path +
                       std::string("\0\0\0\x02\x42X", 6);
    ASSERT_TRUE(host->SendRaw(junk));
    EXPECT_FALSE(host->Receive(&m, &name));
  }
  auto host = Host();
  HostRun run = Backup(*host);
  EXPECT_EQ(ResultCode(run), 0);
}

}  // namespace
}  // namespace devsim::testing
