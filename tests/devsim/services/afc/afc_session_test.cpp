// The AFC dispatcher with packets in memory.
#include "services/afc/afc_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>

namespace devsim {
namespace {

using namespace afc;

class AfcSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/devsim-afc-XXXXXX";
    root_ = mkdtemp(tmpl);
    std::filesystem::create_directories(root_ / "dir");
    std::ofstream(root_ / "dir/file.txt") << "content";
    session_ = std::make_unique<AfcSession>(root_, [] { return KeyValues{{"Model", "iPhone14,5"}}; });
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // Sends one request; returns the reply's status (or 0 for non-status replies).
  uint64_t Send(uint64_t op, const std::string& data, const std::string& payload = "",
                uint64_t packet = 9) {
    Header h{kHeaderSize + data.size() + payload.size(), kHeaderSize + data.size(), packet, op};
    session_->Handle(h, data, payload, &reply_);
    EXPECT_EQ(ReadLe64(reply_.head.data() + 24), packet) << "packet number echoed";
    reply_op_ = ReadLe64(reply_.head.data() + 32);
    if (reply_op_ != kOpStatus) return 0;
    EXPECT_EQ(reply_.head.size(), kHeaderSize + 8);
    return ReadLe64(reply_.head.data() + kHeaderSize);
  }
  static std::string Path(const std::string& p) { return p + std::string(1, '\0'); }
  static std::string U64(uint64_t v) {
    std::string s;
    AppendLe64(&s, v);
    return s;
  }

  std::filesystem::path root_;
  std::unique_ptr<AfcSession> session_;
  AfcReply reply_;
  uint64_t reply_op_ = 0;
};

TEST_F(AfcSessionTest, UnknownOperationIsNotSupported) {
  EXPECT_EQ(Send(0x77, ""), kOpNotSupported);
  EXPECT_EQ(Send(kOpData, ""), kOpNotSupported);
}

TEST_F(AfcSessionTest, HandlesAreNeverZeroAndUnknownHandlesAreRejected) {
  Send(kOpFileRefOpen, U64(1) + Path("dir/file.txt"));
  ASSERT_EQ(reply_op_, kOpFileRefOpenResult);
  uint64_t handle = ReadLe64(reply_.body.data());
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(Send(kOpFileRefRead, U64(0) + U64(10)), kInvalidArg);
  EXPECT_EQ(Send(kOpFileRefRead, U64(handle + 1) + U64(10)), kInvalidArg);
  EXPECT_EQ(Send(kOpFileRefRead, U64(handle)), kInvalidArg) << "length missing";
  Send(kOpFileRefRead, U64(handle) + U64(UINT64_MAX));
  ASSERT_EQ(reply_op_, kOpData);
  EXPECT_EQ(reply_.body, "content") << "a huge read length is capped, not allocated";
  EXPECT_EQ(Send(kOpFileRefClose, U64(handle)), kSuccess);
  EXPECT_EQ(Send(kOpFileRefClose, U64(handle)), kInvalidArg);
}

TEST_F(AfcSessionTest, ShortOrMissingArgumentsAreInvalid) {
  EXPECT_EQ(Send(kOpFileRefOpen, "abc"), kInvalidArg);
  EXPECT_EQ(Send(kOpFileRefOpen, U64(9) + Path("dir/x")), kInvalidArg) << "bad mode";
  EXPECT_EQ(Send(kOpTruncateFile, U64(1)), kInvalidArg);
  EXPECT_EQ(Send(kOpRenamePath, Path("dir/file.txt")), kInvalidArg);
  EXPECT_EQ(Send(kOpMakeLink, U64(3) + Path("a") + Path("b")), kInvalidArg);
  EXPECT_EQ(Send(kOpGetFileInfo, ""), kInvalidArg);
}

TEST_F(AfcSessionTest, TheRootCannotBeRemovedRenamedOrOpenedAsAFile) {
  EXPECT_EQ(Send(kOpRemovePath, Path("/")), kPermDenied);
  EXPECT_EQ(Send(kOpRemovePathAndContents, Path("dir/..")), kPermDenied);
  EXPECT_EQ(Send(kOpRenamePath, Path("/") + Path("/x")), kPermDenied);
  EXPECT_EQ(Send(kOpFileRefOpen, U64(1) + Path("/")), kObjectIsDir);
  EXPECT_EQ(Send(kOpFileRefOpen, U64(1) + Path("dir")), kObjectIsDir);
  EXPECT_TRUE(std::filesystem::exists(root_ / "dir/file.txt"));
}

TEST_F(AfcSessionTest, FileInfoOfTheRootWorks) {
  Send(kOpGetFileInfo, Path("/"));
  ASSERT_EQ(reply_op_, kOpData);
  std::string body(reply_.body);
  EXPECT_NE(body.find(std::string("st_ifmt\0S_IFDIR\0", 16)), std::string::npos);
}

TEST_F(AfcSessionTest, DeviceInfoPairsEndWithNul) {
  Send(kOpGetDeviceInfo, "");
  ASSERT_EQ(reply_op_, kOpData);
  EXPECT_EQ(std::string(reply_.body), std::string("Model\0iPhone14,5\0", 17));
}

TEST_F(AfcSessionTest, WritePayloadGoesToTheFileAndSetModTimeSetsNanoseconds) {
  Send(kOpFileRefOpen, U64(3) + Path("new.bin"));
  uint64_t h = ReadLe64(reply_.body.data());
  EXPECT_EQ(Send(kOpFileRefWrite, U64(h), "payload"), kSuccess);
  EXPECT_EQ(Send(kOpFileRefClose, U64(h)), kSuccess);
  EXPECT_EQ(std::filesystem::file_size(root_ / "new.bin"), 7u);
  EXPECT_EQ(Send(kOpSetModTime, U64(1700000000123456789ull) + Path("new.bin")), kSuccess);
  Send(kOpGetFileInfo, Path("new.bin"));
  EXPECT_NE(std::string(reply_.body).find(std::string("st_mtime\0" "1700000000123456789\0", 29)),
            std::string::npos);
}


// A session whose writes count against a data partition with `free` bytes.
class AfcPartitionTest : public AfcSessionTest {
 protected:
  void Limit(uint64_t free) {
    partition_.SetFree(free);
    session_ = std::make_unique<AfcSession>(root_, [] { return KeyValues{}; }, &partition_);
  }
  uint64_t OpenFile(uint64_t mode, const std::string& path) {
    Send(kOpFileRefOpen, U64(mode) + Path(path));
    return reply_op_ == kOpFileRefOpenResult ? ReadLe64(reply_.body.data()) : 0;
  }
  DataPartition partition_;
};

TEST_F(AfcPartitionTest, AWritePastTheFreeSpaceFailsWholeAndRemovalsGiveBytesBack) {
  Limit(10000);
  uint64_t h = OpenFile(3, "a.bin");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Send(kOpFileRefWrite, U64(h), std::string(8000, 'x')), kSuccess);
  EXPECT_EQ(partition_.FreeBytes(), 2000u);
  EXPECT_EQ(Send(kOpFileRefWrite, U64(h), std::string(4000, 'y')), kNoSpaceLeft);
  EXPECT_EQ(std::filesystem::file_size(root_ / "a.bin"), 8000u) << "nothing of it is stored";
  EXPECT_EQ(partition_.FreeBytes(), 2000u);
  // Overwriting inside the file costs nothing; growing by the rest fills it exactly.
  EXPECT_EQ(Send(kOpFileRefSeek, U64(h) + U64(0) + U64(0)), kSuccess);
  EXPECT_EQ(Send(kOpFileRefWrite, U64(h), std::string(10000, 'z')), kSuccess);
  EXPECT_EQ(partition_.FreeBytes(), 0u);
  EXPECT_EQ(Send(kOpFileRefSetFileSize, U64(h) + U64(10001)), kNoSpaceLeft);
  EXPECT_EQ(Send(kOpFileRefSetFileSize, U64(h) + U64(4000)), kSuccess);
  EXPECT_EQ(partition_.FreeBytes(), 6000u);
  EXPECT_EQ(Send(kOpFileRefClose, U64(h)), kSuccess);
  // Opening with truncation, removing and replacing by a rename all free the bytes.
  h = OpenFile(3, "a.bin");
  EXPECT_EQ(partition_.FreeBytes(), 10000u);
  EXPECT_EQ(Send(kOpFileRefWrite, U64(h), std::string(3000, 'x')), kSuccess);
  EXPECT_EQ(Send(kOpFileRefClose, U64(h)), kSuccess);
  h = OpenFile(3, "dir/b.bin");
  EXPECT_EQ(Send(kOpFileRefWrite, U64(h), std::string(1000, 'x')), kSuccess);
  EXPECT_EQ(Send(kOpFileRefClose, U64(h)), kSuccess);
  EXPECT_EQ(partition_.FreeBytes(), 6000u);
  EXPECT_EQ(Send(kOpRenamePath, Path("dir/b.bin") + Path("a.bin")), kSuccess);
  EXPECT_EQ(partition_.FreeBytes(), 9000u);
  EXPECT_EQ(Send(kOpRemovePathAndContents, Path("dir")), kSuccess);
  EXPECT_EQ(Send(kOpRemovePath, Path("a.bin")), kSuccess);
  EXPECT_EQ(partition_.FreeBytes(), 10007u) << "dir/file.txt was there before";
}

TEST_F(AfcPartitionTest, ZerosPastTheEndAreKeptAsAHoleAndReadBackAsZeros) {
  Limit(64ull << 20);
  uint64_t h = OpenFile(4, "zeros.bin");
  ASSERT_NE(h, 0u);
  EXPECT_EQ(Send(kOpFileRefWrite, U64(h), "head"), kSuccess);
  EXPECT_EQ(Send(kOpFileRefWrite, U64(h), std::string(16 << 20, '\0')), kSuccess);
  EXPECT_EQ(Send(kOpFileRefWrite, U64(h), "tail"), kSuccess);
  EXPECT_EQ(partition_.FreeBytes(), (64ull << 20) - (16 << 20) - 8);
  EXPECT_EQ(Send(kOpFileRefSeek, U64(h) + U64(0) + U64(0)), kSuccess);
  std::string back;
  for (int i = 0; i < 2; ++i) {
    Send(kOpFileRefRead, U64(h) + U64(16 << 20));
    ASSERT_EQ(reply_op_, kOpData);
    back += reply_.body;
  }
  EXPECT_EQ(back, "head" + std::string(16 << 20, '\0') + "tail");
  struct stat st{};
  ASSERT_EQ(::stat((root_ / "zeros.bin").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the zeros take no host disk";
}

}  // namespace
}  // namespace devsim
