#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/afc_file_ops.h"
#include "common/dh_task.h"
#include "common/text_convert.h"
#include "device_fixture.h"
#include "utility/ios/vado_device_service.h"

namespace {

namespace fs = std::filesystem;

class AfcFileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = fixture_.Attach(devsim::DeviceSpec{}, &udid_);
    ASSERT_NE(device_, nullptr);
    int32_t error = 0;
    service_ = GetService(device_, &error, kAfcServiceName, nullptr, true);
    ASSERT_TRUE(service_) << "error " << error;
    afc_ = service_->afc();
    pc_ = fixture_.sim().dir() / "pc";
    fs::create_directories(pc_);
  }
  // The device's media partition as the simulator stores it.
  fs::path Media() {
    return fixture_.sim().farm_dir() / "devices" / udid_ / "fs/private/var/mobile/Media";
  }
  void WriteMediaFile(const std::string& relative, const std::string& content) {
    fs::create_directories((Media() / relative).parent_path());
    std::ofstream(Media() / relative, std::ios::binary) << content;
  }
  static std::string ReadPc(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  SimulatorFixture fixture_;
  std::string udid_;
  AMDeviceRef device_ = nullptr;
  ServicePtr service_;
  AFCConnectionRef afc_ = nullptr;
  fs::path pc_;
};

TEST_F(AfcFileOpsTest, FileInfoReportsTypeSizeAndTruncatedTimes) {
  WriteMediaFile("info/file.bin", std::string(1234, 'x'));
  // One nanosecond short of a whole second.
  timespec times[2] = {{1700000000, 999999999}, {1700000000, 999999999}};
  ASSERT_EQ(utimensat(AT_FDCWD, (Media() / "info/file.bin").c_str(), times, 0), 0);
  AfcFileInfo info;
  ASSERT_TRUE(GetFileInfo(afc_, "/info/file.bin", &info));
  EXPECT_EQ(info.type, "S_IFREG");
  EXPECT_EQ(info.size, 1234);
  EXPECT_EQ(info.modification_time, 1700000000);
  AfcFileInfo folder;
  ASSERT_TRUE(GetFileInfo(afc_, "/info", &folder));
  EXPECT_EQ(folder.type, "S_IFDIR");
  AfcFileInfo missing;
  EXPECT_FALSE(GetFileInfo(afc_, "/info/none", &missing));
}

TEST_F(AfcFileOpsTest, MakeDirectoryAcceptsExistingAndNeedsParent) {
  EXPECT_TRUE(MakeDirectory(afc_, "/made"));
  EXPECT_TRUE(fs::is_directory(Media() / "made"));
  EXPECT_TRUE(MakeDirectory(afc_, "/made"));  // already there
  EXPECT_FALSE(MakeDirectory(afc_, "/no/such/parent/child"));
}

TEST_F(AfcFileOpsTest, RemoveTreeEmptiesOrRemovesAndKeepsLinks) {
  WriteMediaFile("tree/a.txt", "a");
  WriteMediaFile("tree/sub/b.txt", "b");
  WriteMediaFile("target.txt", "t");
  fs::create_symlink("../target.txt", Media() / "tree/link");
  EXPECT_FALSE(RemoveTree(afc_, "/tree", false));  // emptied, kept
  EXPECT_TRUE(fs::is_directory(Media() / "tree"));
  EXPECT_FALSE(fs::exists(Media() / "tree/a.txt"));
  EXPECT_FALSE(fs::exists(Media() / "tree/sub"));
  EXPECT_TRUE(fs::is_symlink(Media() / "tree/link"));

  WriteMediaFile("gone/x/y.txt", "y");
  EXPECT_TRUE(RemoveTree(afc_, "/gone", true));
  EXPECT_FALSE(fs::exists(Media() / "gone"));
  EXPECT_FALSE(RemoveTree(afc_, "/target.txt", true));  // not a folder
  EXPECT_TRUE(fs::exists(Media() / "target.txt"));
}

TEST_F(AfcFileOpsTest, CopiesFilesBothWaysWithExactSizes) {
  std::string content(5 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  WriteMediaFile("big.bin", content);
  std::u16string out = Utf8ToUtf16((pc_ / "big.bin").string());
  ASSERT_TRUE(CopyFileFromDevice(afc_, "/big.bin", &out, nullptr));
  EXPECT_EQ(ReadPc(pc_ / "big.bin"), content);
  std::string bytes;
  ASSERT_TRUE(CopyFileFromDevice(afc_, "/big.bin", nullptr, &bytes));
  EXPECT_EQ(bytes, content);

  WriteMediaFile("empty.bin", "");
  std::u16string empty_out = Utf8ToUtf16((pc_ / "empty.bin").string());
  ASSERT_TRUE(CopyFileFromDevice(afc_, "/empty.bin", &empty_out, nullptr));
  EXPECT_TRUE(fs::exists(pc_ / "empty.bin"));
  EXPECT_EQ(fs::file_size(pc_ / "empty.bin"), 0u);

  // A shorter upload over a longer device file leaves no stale tail.
  WriteMediaFile("upload.txt", std::string(10000, 'o'));
  std::ofstream(pc_ / "short.txt") << "short";
  ASSERT_TRUE(CopyFileToDevice(afc_, Utf8ToUtf16((pc_ / "short.txt").string()), "/upload.txt"));
  EXPECT_EQ(ReadPc(Media() / "upload.txt"), "short");
}

TEST_F(AfcFileOpsTest, CopyFromDeviceFailsWhenPcFileCannotBeCreated) {
  WriteMediaFile("f.txt", "data");
  std::u16string bad = Utf8ToUtf16((pc_ / "missing-folder/f.txt").string());
  EXPECT_FALSE(CopyFileFromDevice(afc_, "/f.txt", &bad, nullptr));
  std::u16string fine = Utf8ToUtf16((pc_ / "f.txt").string());
  EXPECT_FALSE(CopyFileFromDevice(afc_, "/no-such-file", &fine, nullptr));
  EXPECT_FALSE(fs::exists(pc_ / "f.txt"));  // nothing created for a missing device file
}

TEST_F(AfcFileOpsTest, CopyTreeToPcCopiesNestedFoldersOnly) {
  WriteMediaFile("DCIM/100APPLE/IMG_0001.JPG", "jpeg");
  WriteMediaFile("DCIM/101APPLE/IMG_0002.JPG", "jpeg2");
  std::u16string target = Utf8ToUtf16((pc_ / "copy").string());
  EXPECT_FALSE(CopyTreeToPc(afc_, "/DCIM", target));  // used for its effect
  EXPECT_EQ(ReadPc(pc_ / "copy/100APPLE/IMG_0001.JPG"), "jpeg");
  EXPECT_EQ(ReadPc(pc_ / "copy/101APPLE/IMG_0002.JPG"), "jpeg2");
  std::u16string file_target = Utf8ToUtf16((pc_ / "from-file").string());
  EXPECT_FALSE(CopyTreeToPc(afc_, "/DCIM/100APPLE/IMG_0001.JPG", file_target));
  EXPECT_FALSE(fs::exists(pc_ / "from-file"));
}

TEST_F(AfcFileOpsTest, DeviceWriteFailingMidwayFailsTheUpload) {
  std::string content(9 * 1024 * 1024, 'w');
  std::ofstream(pc_ / "upload.bin", std::ios::binary) << content;
  ASSERT_EQ(fixture_.sim().Control({"fault", udid_, "afc-fail-write", "1048576"}).status, 0);
  EXPECT_FALSE(CopyFileToDevice(afc_, Utf8ToUtf16((pc_ / "upload.bin").string()), "/upload.bin"));
  ASSERT_EQ(fixture_.sim().Control({"fault", udid_, "clear"}).status, 0);
  // A missing PC file fails too, and the connection still works afterwards.
  EXPECT_FALSE(CopyFileToDevice(afc_, Utf8ToUtf16((pc_ / "none.bin").string()), "/none.bin"));
  ASSERT_TRUE(CopyFileToDevice(afc_, Utf8ToUtf16((pc_ / "upload.bin").string()), "/upload.bin"));
  EXPECT_EQ(fs::file_size(Media() / "upload.bin"), content.size());
}

TEST_F(AfcFileOpsTest, DeviceReadErrorIsNotTakenForTheEndOfTheFile) {
  WriteMediaFile("read.bin", std::string(9 * 1024 * 1024, 'r'));
  ASSERT_EQ(fixture_.sim().Control({"fault", udid_, "afc-fail-read", "1048576"}).status, 0);
  std::u16string out = Utf8ToUtf16((pc_ / "read.bin").string());
  EXPECT_FALSE(CopyFileFromDevice(afc_, "/read.bin", &out, nullptr));
  EXPECT_FALSE(fs::exists(pc_ / "read.bin"));  // no partial copy left behind
  std::string bytes;
  EXPECT_FALSE(CopyFileFromDevice(afc_, "/read.bin", nullptr, &bytes));
}

TEST_F(AfcFileOpsTest, LinkIsCopiedByItsTargetsSize) {
  // Longer than one read, so a copy that stops at the link's own size is caught.
  std::string content(9 * 1024 * 1024, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 13);
  WriteMediaFile("target.bin", content);
  fs::create_symlink("target.bin", Media() / "link.bin");
  std::u16string out = Utf8ToUtf16((pc_ / "link.bin").string());
  ASSERT_TRUE(CopyFileFromDevice(afc_, "/link.bin", &out, nullptr));
  EXPECT_EQ(ReadPc(pc_ / "link.bin"), content);
}

TEST_F(AfcFileOpsTest, CancelledTaskStopsBothCopies) {
  WriteMediaFile("c.bin", std::string(100, 'c'));
  std::ofstream(pc_ / "c.bin", std::ios::binary) << "pc";
  DhTask task(1);
  task.set_status(kTaskCancelled);
  std::u16string out = Utf8ToUtf16((pc_ / "copy.bin").string());
  EXPECT_FALSE(CopyFileFromDevice(afc_, "/c.bin", &out, nullptr, &task));
  EXPECT_FALSE(fs::exists(pc_ / "copy.bin"));
  EXPECT_FALSE(CopyFileToDevice(afc_, Utf8ToUtf16((pc_ / "c.bin").string()), "/c.bin", &task));
  DhTask running(2);
  EXPECT_TRUE(CopyFileFromDevice(afc_, "/c.bin", &out, nullptr, &running));
}

}  // namespace
