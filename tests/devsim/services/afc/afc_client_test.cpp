// AFC through libimobiledevice's client against the simulator's media folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "afc_connection.h"
#include "farm/file_util.h"
#include "sim_harness.h"

namespace devsim::testing {
namespace {

class AfcClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceSpec wanted;
    wanted.media_files = 2;
    udid_ = sim_.AddDevice(wanted);
    ASSERT_FALSE(udid_.empty());
    ASSERT_TRUE(sim_.Start());
    sim_.ExportSocket();
  }
  std::filesystem::path Media() const {
    return sim_.farm_dir() / "devices" / udid_ / "fs/private/var/mobile/Media";
  }

  SimHarness sim_;
  std::string udid_;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
  return s;
}

TEST_F(AfcClientTest, WritesAndReadsBackAFileLargerThanOneChunk) {
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  std::string data = Pattern((9u << 20) + 123);
  ASSERT_TRUE(afc.WriteFile("/Downloads/big.bin", data));
  std::string back;
  ASSERT_TRUE(afc.ReadFile("/Downloads/big.bin", &back));
  EXPECT_TRUE(back == data) << "read " << back.size() << " bytes";
  std::ifstream on_disk(Media() / "Downloads/big.bin", std::ios::binary | std::ios::ate);
  EXPECT_EQ(static_cast<size_t>(on_disk.tellg()), data.size());
}

TEST_F(AfcClientTest, FileInfoHasEveryStatKeyWithNanosecondTimes) {
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  ASSERT_TRUE(afc.WriteFile("Downloads/f.txt", "hello"));
  afc_error_t err;
  auto info = afc.FileInfo("Downloads/f.txt", &err);
  ASSERT_EQ(err, AFC_E_SUCCESS);
  EXPECT_EQ(info["st_size"], "5");
  EXPECT_EQ(info["st_ifmt"], "S_IFREG");
  EXPECT_EQ(info["st_nlink"], "1");
  EXPECT_TRUE(info.count("st_blocks"));
  EXPECT_GT(std::stoull(info["st_mtime"]), 1000000000000000000ull);
  EXPECT_GT(std::stoull(info["st_birthtime"]), 1000000000000000000ull);
  auto dir = afc.FileInfo("/DCIM", &err);
  EXPECT_EQ(dir["st_ifmt"], "S_IFDIR");
  afc.FileInfo("/DCIM/none.jpg", &err);
  EXPECT_EQ(err, AFC_E_OBJECT_NOT_FOUND);
}

TEST_F(AfcClientTest, SymlinkInfoCarriesItsTarget) {
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  ASSERT_EQ(afc_make_link(afc.get(), AFC_SYMLINK, "DCIM/100APPLE", "/CameraRoll"), AFC_E_SUCCESS);
  afc_error_t err;
  auto info = afc.FileInfo("/CameraRoll", &err);
  ASSERT_EQ(err, AFC_E_SUCCESS);
  EXPECT_EQ(info["st_ifmt"], "S_IFLNK");
  EXPECT_EQ(info["LinkTarget"], "DCIM/100APPLE");
}

TEST_F(AfcClientTest, ListsFoldersWithDotEntries) {
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  char** list = nullptr;
  ASSERT_EQ(afc_read_directory(afc.get(), "/DCIM/100APPLE", &list), AFC_E_SUCCESS);
  std::set<std::string> names;
  for (int i = 0; list[i]; ++i) names.insert(list[i]);
  afc_dictionary_free(list);
  list = nullptr;
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "IMG_0001.JPG", "IMG_0002.JPG"}));
  EXPECT_EQ(afc_read_directory(afc.get(), "/Nowhere", &list), AFC_E_OBJECT_NOT_FOUND);
}

TEST_F(AfcClientTest, MakesRenamesTruncatesAndRemoves) {
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  ASSERT_EQ(afc_make_directory(afc.get(), "/Work"), AFC_E_SUCCESS);
  EXPECT_EQ(afc_make_directory(afc.get(), "/Work"), AFC_E_SUCCESS) << "existing folder is fine";
  ASSERT_TRUE(afc.WriteFile("/Work/a.txt", "0123456789"));
  ASSERT_EQ(afc_rename_path(afc.get(), "/Work/a.txt", "/Work/b.txt"), AFC_E_SUCCESS);
  afc_error_t err;
  afc.FileInfo("/Work/a.txt", &err);
  EXPECT_EQ(err, AFC_E_OBJECT_NOT_FOUND);
  ASSERT_EQ(afc_truncate(afc.get(), "/Work/b.txt", 4), AFC_E_SUCCESS);
  std::string back;
  ASSERT_TRUE(afc.ReadFile("/Work/b.txt", &back));
  EXPECT_EQ(back, "0123");
  EXPECT_EQ(afc_remove_path(afc.get(), "/Work"), AFC_E_DIR_NOT_EMPTY);
  ASSERT_EQ(afc_remove_path(afc.get(), "/Work/b.txt"), AFC_E_SUCCESS);
  ASSERT_EQ(afc_remove_path(afc.get(), "/Work"), AFC_E_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(Media() / "Work"));
  EXPECT_EQ(afc_remove_path(afc.get(), "/Work"), AFC_E_OBJECT_NOT_FOUND);
}

TEST_F(AfcClientTest, RemovesTreesWithoutFollowingLinks) {
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  ASSERT_EQ(afc_make_directory(afc.get(), "/Tree"), AFC_E_SUCCESS);
  ASSERT_EQ(afc_make_directory(afc.get(), "/Tree/sub"), AFC_E_SUCCESS);
  ASSERT_TRUE(afc.WriteFile("/Tree/sub/x", "x"));
  ASSERT_EQ(afc_make_link(afc.get(), AFC_SYMLINK, "/DCIM", "/Tree/dcim"), AFC_E_SUCCESS);
  ASSERT_EQ(afc_remove_path_and_contents(afc.get(), "/Tree"), AFC_E_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(Media() / "Tree"));
  EXPECT_TRUE(std::filesystem::exists(Media() / "DCIM/100APPLE/IMG_0001.JPG"));
}

TEST_F(AfcClientTest, HandleOperationsSeekTellSetSizeAndLock) {
  AfcConnection afc(udid_), other(udid_);
  ASSERT_TRUE(afc);
  ASSERT_TRUE(other);
  uint64_t h = 0;
  ASSERT_EQ(afc_file_open(afc.get(), "/Downloads/h.bin", AFC_FOPEN_WR, &h), AFC_E_SUCCESS);
  EXPECT_NE(h, 0u);
  uint32_t n = 0;
  ASSERT_EQ(afc_file_write(afc.get(), h, "abcdefgh", 8, &n), AFC_E_SUCCESS);
  ASSERT_EQ(afc_file_seek(afc.get(), h, 2, SEEK_SET), AFC_E_SUCCESS);
  uint64_t pos = 0;
  ASSERT_EQ(afc_file_tell(afc.get(), h, &pos), AFC_E_SUCCESS);
  EXPECT_EQ(pos, 2u);
  char buf[8];
  ASSERT_EQ(afc_file_read(afc.get(), h, buf, 3, &n), AFC_E_SUCCESS);
  EXPECT_EQ(std::string(buf, n), "cde");
  ASSERT_EQ(afc_file_truncate(afc.get(), h, 5), AFC_E_SUCCESS);
  ASSERT_EQ(afc_file_lock(afc.get(), h, AFC_LOCK_EX), AFC_E_SUCCESS);
  uint64_t h2 = 0;
  ASSERT_EQ(afc_file_open(other.get(), "/Downloads/h.bin", AFC_FOPEN_RDONLY, &h2), AFC_E_SUCCESS);
  EXPECT_EQ(afc_file_lock(other.get(), h2, AFC_LOCK_EX), AFC_E_OP_WOULD_BLOCK);
  ASSERT_EQ(afc_file_lock(afc.get(), h, AFC_LOCK_UN), AFC_E_SUCCESS);
  EXPECT_EQ(afc_file_lock(other.get(), h2, AFC_LOCK_EX), AFC_E_SUCCESS);
  afc_file_close(other.get(), h2);
  ASSERT_EQ(afc_file_close(afc.get(), h), AFC_E_SUCCESS);
  EXPECT_NE(afc_file_close(afc.get(), h), AFC_E_SUCCESS) << "a closed handle is gone";
  afc_error_t err;
  EXPECT_EQ(afc.FileInfo("/Downloads/h.bin", &err)["st_size"], "5");
}

TEST_F(AfcClientTest, DotDotEscapesAreRefused) {
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  afc_error_t err;
  afc.FileInfo("../../../../values.plist", &err);
  EXPECT_EQ(err, AFC_E_PERM_DENIED);
  afc.FileInfo("/DCIM/../../state.plist", &err);
  EXPECT_EQ(err, AFC_E_PERM_DENIED);
  uint64_t h = 0;
  EXPECT_EQ(afc_file_open(afc.get(), "/../escape.txt", AFC_FOPEN_WRONLY, &h), AFC_E_PERM_DENIED);
  EXPECT_EQ(afc_make_directory(afc.get(), "a/../../b"), AFC_E_PERM_DENIED);
  EXPECT_EQ(afc_rename_path(afc.get(), "/Downloads/readme.txt", "/../../readme.txt"),
            AFC_E_PERM_DENIED);
  EXPECT_FALSE(std::filesystem::exists(Media() / "../escape.txt"));
  EXPECT_TRUE(std::filesystem::exists(Media() / "Downloads/readme.txt"));
}

TEST_F(AfcClientTest, SymlinksNeverReachOutsideTheMediaFolder) {
  // A link planted on the device pointing at an absolute host path, and one made over AFC
  // with enough ".." to climb out, both resolve inside the media folder.
  std::string secret = (sim_.farm_dir() / "devices" / udid_ / "values.plist").string();
  std::filesystem::create_symlink(secret, Media() / "planted");
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  ASSERT_EQ(afc_make_link(afc.get(), AFC_SYMLINK, "../../../../../../values.plist", "/climb"),
            AFC_E_SUCCESS);
  std::string bytes;
  EXPECT_FALSE(afc.ReadFile("/planted", &bytes));
  EXPECT_FALSE(afc.ReadFile("/climb", &bytes));
  // A link to "above the root" lands on the root: the write stays inside the media folder.
  ASSERT_EQ(afc_make_link(afc.get(), AFC_SYMLINK, "/../../..", "/up"), AFC_E_SUCCESS);
  auto before = ReadWholeFile(secret);
  EXPECT_TRUE(afc.WriteFile("/up/values.plist", "overwritten"));
  EXPECT_EQ(ReadWholeFile(secret), before);
  EXPECT_EQ(ReadWholeFile(Media() / "values.plist").value_or(""), "overwritten");
  EXPECT_NE(afc_make_link(afc.get(), AFC_HARDLINK, "../../values.plist", "/hard"), AFC_E_SUCCESS);
  // Inside the folder, links work as usual.
  ASSERT_EQ(afc_make_link(afc.get(), AFC_SYMLINK, "/Downloads/readme.txt", "/ok"), AFC_E_SUCCESS);
  EXPECT_TRUE(afc.ReadFile("/ok", &bytes));
  EXPECT_EQ(bytes, "downloaded on the simulated device\n");
}

TEST_F(AfcClientTest, DeviceInfoGivesModelAndSpace) {
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  auto info = afc.DeviceInfo();
  EXPECT_EQ(info["Model"], "iPhone14,5");
  EXPECT_EQ(info["FSTotalBytes"], "116000000000");
  EXPECT_GT(std::stoull(info["FSFreeBytes"]), 0u);
  EXPECT_EQ(info["FSBlockSize"], "4096");
}

TEST_F(AfcClientTest, LockedDeviceRefusesTheServiceWithThePasscodeError) {
  ASSERT_EQ(sim_.Control({"lock", udid_}).status, 0);
  AfcConnection locked(udid_);
  EXPECT_FALSE(locked);
  EXPECT_EQ(locked.start_error(), LOCKDOWN_E_PASSWORD_PROTECTED);
  ASSERT_EQ(sim_.Control({"unlock", udid_}).status, 0);
  AfcConnection unlocked(udid_);
  EXPECT_TRUE(unlocked);
}

TEST_F(AfcClientTest, Afc2IsOnlyOfferedOnJailbrokenDevices) {
  AfcConnection stock(udid_, "com.apple.afc2");
  EXPECT_FALSE(stock);
  EXPECT_EQ(stock.start_error(), LOCKDOWN_E_INVALID_SERVICE);

  DeviceSpec wanted;
  wanted.seed = 77;
  wanted.jailbroken = true;
  std::string jb = sim_.AddDevice(wanted);
  ASSERT_EQ(sim_.Control({"plug", jb}).status, 0);
  AfcConnection afc2(jb, "com.apple.afc2");
  ASSERT_TRUE(afc2);
  afc_error_t err;
  auto info = afc2.FileInfo("/var/root/Media/Cydia/AutoInstall", &err);
  EXPECT_EQ(err, AFC_E_SUCCESS);
  EXPECT_EQ(info["st_ifmt"], "S_IFDIR");
  std::string bytes;
  EXPECT_TRUE(afc2.ReadFile("/System/Library/CoreServices/SystemVersion.plist", &bytes));
  afc2.FileInfo("/../state.plist", &err);
  EXPECT_EQ(err, AFC_E_PERM_DENIED);
}

TEST_F(AfcClientTest, DropFaultCutsTheServiceConnection) {
  // Bytes count in both directions: the 40-byte GetDeviceInfo request, then 20 bytes of the
  // reply header. (The cut is placed in a header on purpose: libimobiledevice 1.3.0's
  // afc_file_read corrupts memory when a DATA reply is cut inside its body.)
  ASSERT_EQ(sim_.Control({"fault", udid_, "drop-service", "60"}).status, 0);
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  EXPECT_TRUE(afc.DeviceInfo().empty());
  ASSERT_EQ(sim_.Control({"fault", udid_, "clear"}).status, 0);
  AfcConnection again(udid_);
  EXPECT_EQ(again.DeviceInfo()["Model"], "iPhone14,5");
}

TEST_F(AfcClientTest, BandwidthCapKeepsDataIntact) {
  ASSERT_EQ(sim_.Control({"fault", udid_, "cap-bandwidth", "8000000"}).status, 0);
  AfcConnection afc(udid_);
  ASSERT_TRUE(afc);
  std::string data = Pattern(300000);
  ASSERT_TRUE(afc.WriteFile("/Downloads/slow.bin", data));
  std::string back;
  ASSERT_TRUE(afc.ReadFile("/Downloads/slow.bin", &back));
  EXPECT_TRUE(back == data);
}

}  // namespace
}  // namespace devsim::testing
