// The simulator's stall faults: how they are set and counted, and a service stream that
// stops sending or reading as told.
#include "fault_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "cert_util.h"

namespace devsim {
namespace {

using Clock = std::chrono::steady_clock;

std::shared_ptr<SimDevice> MakeDevice() {
  Plist values = NewDict();
  Plist root = NewDict();
  SetString(root.get(), "UniqueDeviceID", "00008110-000A1B2C3D4E5F61");
  SetNode(values.get(), "Root", std::move(root));
  SetNode(values.get(), "Domains", NewDict());
  Plist state = NewDict();
  static PkeyPtr* key = new PkeyPtr(GenerateRsaKey(2048));
  return SimDevice::InMemory(std::move(values), std::move(state),
                             LoadPrivateKeyPem(PrivateKeyPem(key->get())));
}

TEST(StallFaults, LockdownStallCountsMatchingRequestsAndEndsOnClear) {
  auto dev = MakeDevice();
  EXPECT_FALSE(dev->ConsumeLockdownStall("StartSession"));  // no fault yet
  ASSERT_TRUE(dev->SetFault("lockdown-stall", 1, "StartSession"));
  EXPECT_FALSE(dev->ConsumeLockdownStall("GetValue"));      // other requests pass
  EXPECT_FALSE(dev->ConsumeLockdownStall("StartSession"));  // the one let through
  EXPECT_TRUE(dev->ConsumeLockdownStall("StartSession"));
  EXPECT_TRUE(dev->ConsumeLockdownStall("StartSession"));
  EXPECT_TRUE(dev->LockdownStallHolds());
  ASSERT_TRUE(dev->SetFault("clear", 0));
  EXPECT_FALSE(dev->LockdownStallHolds());
  EXPECT_FALSE(dev->ConsumeLockdownStall("StartSession"));
}

TEST(StallFaults, TimeLimitEndsTheStallAndBadWordsAreRefused) {
  auto dev = MakeDevice();
  ASSERT_TRUE(dev->SetFault("lockdown-stall", 0, "0"));  // zero seconds: already over
  EXPECT_FALSE(dev->ConsumeLockdownStall("GetValue"));
  EXPECT_FALSE(dev->LockdownStallHolds());
  ASSERT_TRUE(dev->SetFault("service-stall", 10, "com.apple.afc 30"));
  EXPECT_TRUE(dev->ServiceStallHolds());
  EXPECT_TRUE(dev->SetFault("service-stall", -1));
  EXPECT_FALSE(dev->ServiceStallHolds());
  EXPECT_FALSE(dev->SetFault("service-stall", 0, "one two three"));
  EXPECT_FALSE(dev->SetFault("lockdown-stall", 0, "999999999"));  // over a day
  EXPECT_FALSE(dev->SetFault("read-pause", -5));
  EXPECT_FALSE(dev->SetFault("read-pause", 100, "lots"));
}

class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  int device_fd() const { return fds_[0]; }
  int host_fd() const { return fds_[1]; }
  void CloseHost() {
    close(fds_[1]);
    fds_[1] = -1;
  }
  std::string HostRead(size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
      ssize_t r = recv(host_fd(), out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }
  int fds_[2] = {-1, -1};
};

TEST_F(SocketPair, ServiceStallHoldsTheReplyUntilClearedThenSendsTheRest) {
  auto dev = MakeDevice();
  ASSERT_TRUE(dev->SetFault("service-stall", 4, "com.apple.afc"));
  SocketStream plain(device_fd());
  FaultStream stream(plain, *dev, device_fd(), "com.apple.afc");
  auto writer = std::async(std::launch::async, [&] { return stream.WriteAll("abcdefgh", 8); });
  EXPECT_EQ(HostRead(4), "abcd");
  EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  ASSERT_TRUE(dev->SetFault("clear", 0));
  EXPECT_TRUE(writer.get());
  EXPECT_EQ(HostRead(4), "efgh");
}

TEST_F(SocketPair, StalledServiceGivesUpWhenTheHostLeaves) {
  auto dev = MakeDevice();
  ASSERT_TRUE(dev->SetFault("service-stall", 0));  // every service
  SocketStream plain(device_fd());
  FaultStream stream(plain, *dev, device_fd(), "com.apple.other");
  auto writer = std::async(std::launch::async, [&] { return stream.WriteAll("x", 1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  CloseHost();
  EXPECT_EQ(writer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(writer.get());
}

TEST_F(SocketPair, ReadPauseStopsReadingOnceAfterTheGivenBytes) {
  auto dev = MakeDevice();
  ASSERT_TRUE(dev->SetFault("read-pause", 400, "3"));
  SocketStream plain(device_fd());
  FaultStream stream(plain, *dev, device_fd(), "com.apple.afc");
  ASSERT_EQ(send(host_fd(), "123456", 6, 0), 6);
  char buf[8];
  ASSERT_EQ(stream.ReadSome(buf, sizeof buf), 3);  // up to the pause point
  const auto start = Clock::now();
  ASSERT_EQ(stream.ReadSome(buf, sizeof buf), 3);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(390));
  ASSERT_EQ(send(host_fd(), "78", 2, 0), 2);
  const auto again = Clock::now();
  ASSERT_EQ(stream.ReadSome(buf, sizeof buf), 2);  // no second pause
  EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(300));
}

}  // namespace
}  // namespace devsim
