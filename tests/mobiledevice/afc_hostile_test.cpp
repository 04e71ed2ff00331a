// AFC replies from a device that lies: a fake peer on a socket pair answers each request
// with crafted bytes. Every case must end in an error (or a bounded result), never a crash
// or a write past the caller's buffer.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "md_test_support.h"

namespace md::testing {
namespace {

std::string U64(uint64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string Header(uint64_t entire, uint64_t this_len, uint64_t packet, uint64_t op) {
  return "CFA6LPAA" + U64(entire) + U64(this_len) + U64(packet) + U64(op);
}

std::string Status(uint64_t packet, uint64_t code) {
  return Header(48, 48, packet, 1) + U64(code);
}

std::string Data(uint64_t packet, const std::string& bytes) {
  return Header(40 + bytes.size(), 40, packet, 2) + bytes;
}

// Answers requests in order: reply(i, packet number of request i) is written back.
class FakeDevice {
 public:
  explicit FakeDevice(std::function<std::string(int, uint64_t)> reply) : reply_(std::move(reply)) {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    peer_ = std::thread([this] { Serve(); });
  }
  ~FakeDevice() {
    shutdown(fds_[0], SHUT_RDWR);
    shutdown(fds_[1], SHUT_RDWR);
    peer_.join();
    close(fds_[0]);
    close(fds_[1]);
  }
  int host_socket() const { return fds_[0]; }
  int requests() const { return requests_; }

 private:
  bool ReadExact(void* p, size_t n) {
    auto* b = static_cast<uint8_t*>(p);
    while (n) {
      ssize_t got = read(fds_[1], b, n);
      if (got <= 0) return false;
      b += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  void Serve() {
    for (int i = 0;; ++i) {
      uint8_t h[40];
      if (!ReadExact(h, sizeof h)) return;
      uint64_t entire = 0, packet = 0;
      std::memcpy(&entire, h + 8, 8);
      std::memcpy(&packet, h + 24, 8);
      std::vector<uint8_t> rest(entire - 40);
      if (!rest.empty() && !ReadExact(rest.data(), rest.size())) return;
      ++requests_;
      const std::string out = reply_(i, packet);
      if (out.empty()) {
        shutdown(fds_[1], SHUT_RDWR);  // the device goes away
        return;
      }
      if (write(fds_[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) return;
    }
  }

  std::function<std::string(int, uint64_t)> reply_;
  int fds_[2] = {-1, -1};
  std::thread peer_;
  std::atomic<int> requests_{0};
};

AFCConnectionRef Open(const FakeDevice& device) {
  AFCConnectionRef afc = nullptr;
  EXPECT_EQ(AFCConnectionOpen(device.host_socket(), 2, &afc), 0);
  return afc;
}

TEST(AfcHostileReplies, ParametersLongerThanThePacketAreRejected) {
  // this_length beyond entire_length: a reader that trusted both would copy past its buffer.
  FakeDevice device([](int, uint64_t p) { return Header(48, 4000, p, 2) + std::string(8, 'x'); });
  AFCConnectionRef afc = Open(device);
  AFCDictionaryRef info = nullptr;
  EXPECT_NE(AFCDeviceInfoOpen(afc, &info), 0);
  EXPECT_EQ(info, nullptr);
  AFCConnectionClose(afc);
}

TEST(AfcHostileReplies, WrongPacketNumberBreaksTheConnectionForGood) {
  FakeDevice device([](int, uint64_t p) { return Status(p + 7, 0); });
  AFCConnectionRef afc = Open(device);
  EXPECT_NE(AFCDirectoryCreate(afc, "/a"), 0);
  // The stream position is lost: later requests fail without being sent.
  EXPECT_NE(AFCDirectoryCreate(afc, "/b"), 0);
  EXPECT_EQ(device.requests(), 1);
  AFCConnectionClose(afc);
}

TEST(AfcHostileReplies, ReadReplyLongerThanAskedNeverOverflowsTheBuffer) {
  FakeDevice device([](int i, uint64_t p) {
    if (i == 0) return Header(48, 40, p, 0x0E) + U64(5);  // file handle 5
    return Data(p, std::string(1 << 20, 'z'));           // 1 MiB for a 16-byte read
  });
  AFCConnectionRef afc = Open(device);
  AFCFileRef f = 0;
  ASSERT_EQ(AFCFileRefOpen(afc, "/f", 1, &f), 0);
  EXPECT_EQ(f, 5u);
  struct {
    char buf[16];
    char guard[16];
  } mem;
  std::memset(&mem, 'g', sizeof mem);
  size_t n = sizeof mem.buf;
  EXPECT_NE(AFCFileRefRead(afc, f, mem.buf, &n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(std::string(mem.guard, sizeof mem.guard), std::string(16, 'g'));
  AFCConnectionClose(afc);
}

TEST(AfcHostileReplies, HugeAnnouncedLengthIsRefusedWithoutAllocating) {
  FakeDevice device([](int, uint64_t p) { return Header(uint64_t{1} << 62, 40, p, 2); });
  AFCConnectionRef afc = Open(device);
  AFCDirectoryRef dir = nullptr;
  EXPECT_NE(AFCDirectoryOpen(afc, "/", &dir), 0);
  EXPECT_EQ(dir, nullptr);
  AFCConnectionClose(afc);
}

TEST(AfcHostileReplies, StatusTooLargeForAnIntIsStillAnError) {
  // Truncated to 32 bits this status would read as success.
  FakeDevice device([](int, uint64_t p) { return Status(p, uint64_t{1} << 32); });
  AFCConnectionRef afc = Open(device);
  EXPECT_NE(AFCRemovePath(afc, "/x"), 0);
  AFCConnectionClose(afc);
}

TEST(AfcHostileReplies, ListingWithoutFinalNulAndOddCountIsReadSafely) {
  FakeDevice device([](int i, uint64_t p) {
    if (i == 0) return Data(p, std::string("a\0b\0unterminated", 16));
    return Data(p, std::string("st_size\0" "12\0" "st_ifmt", 19));
  });
  AFCConnectionRef afc = Open(device);
  AFCDirectoryRef dir = nullptr;
  ASSERT_EQ(AFCDirectoryOpen(afc, "/", &dir), 0);
  std::vector<std::string> names;
  char* name = nullptr;
  while (AFCDirectoryRead(afc, dir, &name) == 0 && name) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "unterminated"}));
  AFCDirectoryClose(afc, dir);

  AFCDictionaryRef info = nullptr;
  ASSERT_EQ(AFCFileInfoOpen(afc, "/x", &info), 0);
  char* key = nullptr;
  char* value = nullptr;
  ASSERT_EQ(AFCKeyValueRead(info, &key, &value), 0);
  EXPECT_STREQ(key, "st_size");
  EXPECT_STREQ(value, "12");
  ASSERT_EQ(AFCKeyValueRead(info, &key, &value), 0);
  EXPECT_EQ(key, nullptr);  // "st_ifmt" has no value
  EXPECT_EQ(value, nullptr);
  AFCKeyValueClose(info);
  AFCConnectionClose(afc);
}

TEST(AfcHostileReplies, DeviceVanishingMidReplyIsAnError) {
  FakeDevice device([](int, uint64_t) { return std::string(); });
  AFCConnectionRef afc = Open(device);
  AFCFileRef f = 0;
  EXPECT_NE(AFCFileRefOpen(afc, "/f", 1, &f), 0);
  EXPECT_EQ(f, 0u);
  AFCConnectionClose(afc);
}

TEST(AfcHostileReplies, ZeroFileHandleIsRefused) {
  FakeDevice device([](int, uint64_t p) { return Header(48, 40, p, 0x0E) + U64(0); });
  AFCConnectionRef afc = Open(device);
  AFCFileRef f = 0;
  EXPECT_NE(AFCFileRefOpen(afc, "/f", 1, &f), 0);
  AFCConnectionClose(afc);
}

TEST(AfcHostileReplies, UnexpectedOperationIsAnError) {
  FakeDevice device([](int, uint64_t p) { return Header(48, 48, p, 0x77) + U64(0); });
  AFCConnectionRef afc = Open(device);
  uint64_t pos = 0;
  EXPECT_NE(AFCFileRefTell(afc, 3, &pos), 0);
  AFCConnectionClose(afc);
}

}  // namespace
}  // namespace md::testing
