// The AFC dispatcher with packets in memory.
#include "services/afc/afc_session.h"

#include <gtest/gtest.h>
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

}  // namespace
}  // namespace devsim
