#include "common/plist_message.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// A socketpair: the library side is the connection the exchange uses (the stand-in
// library treats the connection pointer as a descriptor); the peer side plays the device.
class Wire {
 public:
  Wire() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  ~Wire() {
    CloseLibrarySide();
    ClosePeer();
  }
  AMDServiceConnectionRef connection() const {
    return reinterpret_cast<AMDServiceConnectionRef>(static_cast<intptr_t>(fds_[0]));
  }
  void WritePeer(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fds_[1], bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  std::string ReadPeer(size_t n) {
    std::string out(n, '\0');
    size_t done = 0;
    while (done < n) {
      const ssize_t r = read(fds_[1], out.data() + done, n - done);
      if (r <= 0) break;
      done += static_cast<size_t>(r);
    }
    out.resize(done);
    return out;
  }
  void ClosePeer() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }
  void CloseLibrarySide() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

std::string Frame(const std::string& body, uint32_t announced) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(announced >> shift));
  return out + body;
}
std::string Frame(const std::string& body) { return Frame(body, static_cast<uint32_t>(body.size())); }

struct Recorder {
  std::vector<std::string> messages;
  int keep_reading_for = 0;  // how many messages to ask for after the first
  uint32_t result_per_message = 0;
};

void Record(void* context, const char* bytes, uint32_t length, int* read_another, uint32_t* result) {
  auto* r = static_cast<Recorder*>(context);
  EXPECT_EQ(*read_another, 0);
  r->messages.emplace_back(bytes, length);
  *result += r->result_per_message;
  if (r->keep_reading_for-- > 0) *read_another = 1;
}

TEST(PlistMessage, SendWritesBigEndianLengthThenBytes) {
  Wire wire;
  static const uint8_t body[] = {'b', 'p', 'l', 'i', 's', 't'};
  BinaryPlist message(body, sizeof body, nullptr);
  ASSERT_TRUE(SendPlistMessage(wire.connection(), &message));
  EXPECT_EQ(wire.ReadPeer(10), std::string("\0\0\0\x06" "bplist", 10));
}

TEST(PlistMessage, SendFailsOnClosedConnectionOrNoMessage) {
  Wire wire;
  wire.ClosePeer();
  static const uint8_t body[] = {1};
  BinaryPlist message(body, 1, nullptr);
  EXPECT_FALSE(SendPlistMessage(wire.connection(), &message));
  EXPECT_FALSE(SendPlistMessage(wire.connection(), nullptr));
}

TEST(PlistMessage, HandlerDecidesWhetherToReadAnother) {
  Wire wire;
  wire.WritePeer(Frame("one") + Frame("two") + Frame("three"));
  Recorder r;
  r.keep_reading_for = 1;
  r.result_per_message = 5;
  EXPECT_EQ(ReceivePlistMessages(wire.connection(), Record, &r), 10u);
  EXPECT_EQ(r.messages, (std::vector<std::string>{"one", "two"}));
}

TEST(PlistMessage, ZeroLengthEndsTheLoopWithoutCallingTheHandler) {
  Wire wire;
  wire.WritePeer(Frame("", 0) + Frame("late"));
  Recorder r;
  EXPECT_EQ(ReceivePlistMessages(wire.connection(), Record, &r), 0u);
  EXPECT_TRUE(r.messages.empty());
}

TEST(PlistMessage, LengthPastTenMebibytesEndsTheLoop) {
  Wire wire;
  wire.WritePeer(Frame("x", kMaxPlistMessageBytes + 1));
  Recorder r;
  EXPECT_EQ(ReceivePlistMessages(wire.connection(), Record, &r), 0u);
  EXPECT_TRUE(r.messages.empty());
  Wire huge;
  huge.WritePeer(Frame("x", 0xFFFFFFFFu));
  EXPECT_EQ(ReceivePlistMessages(huge.connection(), Record, &r), 0u);
  EXPECT_TRUE(r.messages.empty());
}

TEST(PlistMessage, TenMebibytesExactlyIsAccepted) {
  Wire wire;
  const std::string body(kMaxPlistMessageBytes, 'p');
  std::thread peer([&] {
    wire.WritePeer(Frame(body));
    wire.ClosePeer();
  });
  Recorder r;
  r.result_per_message = 1;
  EXPECT_EQ(ReceivePlistMessages(wire.connection(), Record, &r), 1u);
  peer.join();
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.messages[0].size(), kMaxPlistMessageBytes);
}

TEST(PlistMessage, ConnectionClosingMidMessageEndsTheLoopKeepingTheResult) {
  Wire wire;
  wire.WritePeer(Frame("first") + Frame("second-but-cut").substr(0, 9));
  wire.ClosePeer();
  Recorder r;
  r.keep_reading_for = 5;
  r.result_per_message = 3;
  EXPECT_EQ(ReceivePlistMessages(wire.connection(), Record, &r), 3u);
  EXPECT_EQ(r.messages, (std::vector<std::string>{"first"}));
}

TEST(PlistMessage, LengthSplitAcrossReadsIsReassembled) {
  Wire wire;
  const std::string frame = Frame("split");
  std::thread peer([&] {
    for (char c : frame) wire.WritePeer(std::string(1, c));
    wire.ClosePeer();
  });
  Recorder r;
  ReceivePlistMessages(wire.connection(), Record, &r);
  peer.join();
  EXPECT_EQ(r.messages, (std::vector<std::string>{"split"}));
}

TEST(PlistMessage, ExchangeSendsThenReadsTheReply) {
  Wire wire;
  static const uint8_t body[] = {'q'};
  BinaryPlist request(body, 1, nullptr);
  wire.WritePeer(Frame("reply"));
  Recorder r;
  r.result_per_message = 9;
  EXPECT_EQ(ExchangePlistMessages(wire.connection(), &request, Record, &r), 9u);
  EXPECT_EQ(wire.ReadPeer(5), std::string("\0\0\0\x01q", 5));
  EXPECT_EQ(r.messages, (std::vector<std::string>{"reply"}));
}

}  // namespace
