// libimobiledevice's idevicebackup2 against the simulated device: backups, restores onto the
// same or another device, backup encryption and the backup faults.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <map>
#include <string>

#include "services/backup/backup_content.h"
#include "farm/file_util.h"
#include "plist/plist_ptr.h"
#include "sim_harness.h"

namespace devsim::testing {
namespace {

DeviceSpec Spec(uint64_t seed, uint64_t bulk_files = 0, uint64_t bulk_bytes = 0) {
  DeviceSpec s;
  s.seed = seed;
  s.media_files = 3;
  s.backup_files = bulk_files;
  s.backup_bytes = bulk_bytes;
  return s;
}

fs::path MediaOf(const SimHarness& sim, const std::string& udid) {
  return sim.farm_dir() / "devices" / udid / "fs/private/var/mobile/Media";
}

fs::path BackupFile(const fs::path& dir, const std::string& udid, const std::string& domain,
                    const std::string& rel) {
  std::string id = BackupFileId(domain, rel);
  return dir / udid / id.substr(0, 2) / id;
}

// relativePath -> flags of every row of a Manifest.db.
std::map<std::string, int> ManifestRows(const fs::path& db_path) {
  std::map<std::string, int> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT relativePath, flags FROM Files", -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      rows[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] = sqlite3_column_int(st, 1);
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

class BackupTools : public ::testing::Test {
 protected:
  ToolResult Backup(const std::string& udid) {
    return sim_.Run({"idevicebackup2", "-u", udid, "backup", "--full", dir_.string()}, 50);
  }
  void MakeDir() {
    dir_ = sim_.dir() / "backups";
    fs::create_directories(dir_);
  }
  SimHarness sim_;
  fs::path dir_;
};

TEST_F(BackupTools, FullBackupHoldsTheFarmFilesInTheTwoCharacterLayout) {
  std::string udid = sim_.AddDevice(Spec(11));
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ToolResult r = Backup(udid);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Backup Successful."), std::string::npos) << r.out;
  fs::path root = dir_ / udid;
  Plist status = ReadPlistFile(root / "Status.plist");
  EXPECT_EQ(DictString(status.get(), "SnapshotState").value_or(""), "finished");
  EXPECT_TRUE(DictBool(status.get(), "IsFullBackup").value_or(false));
  Plist manifest = ReadPlistFile(root / "Manifest.plist");
  EXPECT_FALSE(DictBool(manifest.get(), "IsEncrypted").value_or(true));
  EXPECT_EQ(DictString(DictItem(manifest.get(), "Lockdown"), "UniqueDeviceID").value_or(""), udid);
  EXPECT_FALSE(fs::exists(root / "Snapshot"));
  // Every photo of the farm is in the backup, byte for byte, and listed in Manifest.db.
  auto rows = ManifestRows(root / "Manifest.db");
  EXPECT_EQ(rows["Media/DCIM/100APPLE"], 2);
  for (const char* name : {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"}) {
    std::string rel = std::string("Media/DCIM/100APPLE/") + name;
    EXPECT_EQ(rows[rel], 1) << rel;
    auto farm = ReadWholeFile(MediaOf(sim_, udid) / "DCIM/100APPLE" / name);
    auto saved = ReadWholeFile(BackupFile(dir_, udid, "CameraRollDomain", rel));
    ASSERT_TRUE(farm && saved) << rel;
    EXPECT_EQ(*farm, *saved);
  }
  EXPECT_TRUE(fs::exists(BackupFile(dir_, udid, "MediaDomain", "Media/Downloads/readme.txt")));
}

TEST_F(BackupTools, GeneratedFilesAddUpToTheFarmsBulkSize) {
  std::string udid = sim_.AddDevice(Spec(12, 40, 100000));
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ToolResult r = Backup(udid);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  uint64_t total = 0;
  int files = 0;
  for (const auto& [rel, flags] : ManifestRows(dir_ / udid / "Manifest.db")) {
    if (flags != 1 || rel.rfind("Media/Bulk/", 0) != 0) continue;
    ++files;
    total += fs::file_size(BackupFile(dir_, udid, "MediaDomain", rel));
  }
  EXPECT_EQ(files, 40);
  EXPECT_EQ(total, 100000u);
}

TEST_F(BackupTools, RestoreOntoASecondDeviceWritesTheBackedUpFilesIntoItsFarm) {
  std::string a = sim_.AddDevice(Spec(13, 5, 5000));
  std::string b = sim_.AddDevice(Spec(14));
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ASSERT_EQ(Backup(a).status, 0);
  ToolResult r = sim_.Run({"idevicebackup2", "-u", b, "-s", a, "restore", "--no-reboot",
                           "--system", dir_.string()}, 50);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Restore Successful."), std::string::npos) << r.out;
  for (const char* name : {"IMG_0001.JPG", "IMG_0003.JPG"}) {
    auto from = ReadWholeFile(MediaOf(sim_, a) / "DCIM/100APPLE" / name);
    auto to = ReadWholeFile(MediaOf(sim_, b) / "DCIM/100APPLE" / name);
    ASSERT_TRUE(from && to) << name;
    EXPECT_EQ(*from, *to);
  }
  // The generated files became real files of the second device.
  auto bulk = ReadWholeFile(MediaOf(sim_, b) / "Bulk/000/file_0000004.bin");
  ASSERT_TRUE(bulk);
  EXPECT_EQ(bulk->size(), 1000u);
}

TEST_F(BackupTools, RestoreOntoTheSameDeviceBringsBackDeletedFiles) {
  std::string udid = sim_.AddDevice(Spec(15));
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ASSERT_EQ(Backup(udid).status, 0);
  fs::path photo = MediaOf(sim_, udid) / "DCIM/100APPLE/IMG_0002.JPG";
  auto before = ReadWholeFile(photo);
  ASSERT_TRUE(before);
  fs::remove(photo);
  ToolResult r = sim_.Run({"idevicebackup2", "-u", udid, "restore", "--no-reboot", dir_.string()}, 50);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  auto after = ReadWholeFile(photo);
  ASSERT_TRUE(after);
  EXPECT_EQ(*before, *after);
}

TEST_F(BackupTools, RestoreWithSettingsPutsBackTheDeviceName) {
  DeviceSpec farm_device = Spec(16);
  farm_device.name = "Before Phone";
  std::string udid = sim_.AddDevice(farm_device);
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ASSERT_EQ(Backup(udid).status, 0);
  ASSERT_EQ(sim_.Run({"idevicename", "-u", udid, "Renamed Phone"}).status, 0);
  ToolResult kept = sim_.Run({"idevicebackup2", "-u", udid, "restore", "--no-reboot", dir_.string()}, 50);
  ASSERT_EQ(kept.status, 0) << kept.out;
  EXPECT_EQ(sim_.Run({"idevicename", "-u", udid}).out, "Renamed Phone\n");
  ToolResult r = sim_.Run({"idevicebackup2", "-u", udid, "restore", "--no-reboot", "--settings",
                           dir_.string()}, 50);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(sim_.Run({"idevicename", "-u", udid}).out, "Before Phone\n");
}

TEST_F(BackupTools, EncryptionOnAndOffFollowWillEncrypt) {
  std::string udid = sim_.AddDevice(Spec(17));
  ASSERT_TRUE(sim_.Start());
  auto will_encrypt = [&] {
    return sim_.Run({"ideviceinfo", "-u", udid, "-q", "com.apple.mobile.backup", "-k", "WillEncrypt"}).out;
  };
  EXPECT_EQ(will_encrypt(), "false\n");
  ToolResult on = sim_.Run({"idevicebackup2", "-u", udid, "encryption", "on", "pass1"});
  EXPECT_EQ(on.status, 0) << on.out;
  EXPECT_NE(on.out.find("enabled successfully"), std::string::npos) << on.out;
  EXPECT_EQ(will_encrypt(), "true\n");
  ToolResult wrong = sim_.Run({"idevicebackup2", "-u", udid, "encryption", "off", "nope"});
  EXPECT_NE(wrong.status, 0);
  EXPECT_EQ(will_encrypt(), "true\n");
  ToolResult change = sim_.Run({"idevicebackup2", "-u", udid, "changepw", "pass1", "pass2"});
  EXPECT_EQ(change.status, 0) << change.out;
  ToolResult old_pw = sim_.Run({"idevicebackup2", "-u", udid, "encryption", "off", "pass1"});
  EXPECT_NE(old_pw.status, 0);
  ToolResult off = sim_.Run({"idevicebackup2", "-u", udid, "encryption", "off", "pass2"});
  EXPECT_EQ(off.status, 0) << off.out;
  EXPECT_EQ(will_encrypt(), "false\n");
}

TEST_F(BackupTools, EncryptedBackupRestoresOnlyWithItsPassword) {
  std::string udid = sim_.AddDevice(Spec(18));
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ASSERT_EQ(sim_.Run({"idevicebackup2", "-u", udid, "encryption", "on", "secret"}).status, 0);
  ASSERT_EQ(Backup(udid).status, 0);
  Plist manifest = ReadPlistFile(dir_ / udid / "Manifest.plist");
  EXPECT_TRUE(DictBool(manifest.get(), "IsEncrypted").value_or(false));
  EXPECT_FALSE(DictData(manifest.get(), "BackupKeyBag").value_or("").empty());
  ToolResult bad = sim_.Run({"idevicebackup2", "-u", udid, "restore", "--no-reboot", "--password",
                             "wrong", dir_.string()}, 50);
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.out.find("Restore Failed"), std::string::npos) << bad.out;
  ToolResult good = sim_.Run({"idevicebackup2", "-u", udid, "restore", "--no-reboot", "--password",
                              "secret", dir_.string()}, 50);
  EXPECT_EQ(good.status, 0) << good.out;
}

TEST_F(BackupTools, DisconnectFaultEndsTheBackupBeforeItFinishes) {
  std::string udid = sim_.AddDevice(Spec(19, 20, 200000));
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ASSERT_EQ(sim_.Control({"fault", udid, "backup-disconnect", "50"}).status, 0);
  ToolResult r = Backup(udid);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("Backup Failed"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("100% Finished"), std::string::npos) << r.out;
  Plist status = ReadPlistFile(dir_ / udid / "Status.plist");
  EXPECT_NE(DictString(status.get(), "SnapshotState").value_or(""), "finished");
  // Cleared, the next backup completes.
  ASSERT_EQ(sim_.Control({"fault", udid, "clear"}).status, 0);
  EXPECT_EQ(Backup(udid).status, 0);
}

TEST_F(BackupTools, DeviceErrorFaultReachesTheHostWithItsCodeAndText) {
  std::string udid = sim_.AddDevice(Spec(20));
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ASSERT_EQ(sim_.Control({"fault", udid, "backup-error", "30", "105", "No room at all"}).status, 0);
  ToolResult r = Backup(udid);
  EXPECT_EQ(r.status, (256 - 105) % 256);
  EXPECT_NE(r.out.find("ErrorCode 105: No room at all"), std::string::npos) << r.out;
}

TEST_F(BackupTools, StalledDeviceKeepsTheHostWaitingWithoutHurtingTheDaemon) {
  std::string udid = sim_.AddDevice(Spec(21));
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ASSERT_EQ(sim_.Control({"fault", udid, "backup-stall", "1"}).status, 0);
  // The host would wait for ever; it is stopped after a few seconds.
  ToolResult stalled = sim_.Run({"idevicebackup2", "-u", udid, "backup", "--full", dir_.string()}, 4);
  EXPECT_EQ(stalled.status, -1);
  ASSERT_EQ(sim_.Control({"fault", udid, "clear"}).status, 0);
  EXPECT_EQ(Backup(udid).status, 0);
}

}  // namespace
}  // namespace devsim::testing

namespace devsim::testing {
namespace {

TEST_F(BackupTools, FullBackupHoldsThePhotoLibraryUnderItsBackupName) {
  DeviceSpec farm_device = Spec(12);
  farm_device.product_version = "12.4";
  farm_device.photos.photos = 20;
  farm_device.photos.albums = 2;
  std::string udid = sim_.AddDevice(farm_device);
  ASSERT_TRUE(sim_.Start());
  MakeDir();
  ToolResult r = Backup(udid);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // The library, its write-ahead log and a media file, under their backup names.
  for (const char* rel : {"Media/PhotoData/Photos.sqlite", "Media/PhotoData/Photos.sqlite-wal",
                          "Media/DCIM/100APPLE/IMG_1005.PNG"}) {
    auto farm = ReadWholeFile(MediaOf(sim_, udid) / std::string(rel).substr(6));
    auto saved = ReadWholeFile(BackupFile(dir_, udid, "CameraRollDomain", rel));
    ASSERT_TRUE(farm && saved) << rel;
    EXPECT_EQ(*farm, *saved) << rel;
  }
}

}  // namespace
}  // namespace devsim::testing
