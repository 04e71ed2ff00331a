// AFC through the exports against the simulator's media partition.
#include <cstring>
#include <map>

#include "md_test_support.h"

namespace md::testing {
namespace {

std::map<std::string, std::string> ReadAll(AFCDictionaryRef info) {
  std::map<std::string, std::string> out;
  char* key = nullptr;
  char* value = nullptr;
  while (AFCKeyValueRead(info, &key, &value) == 0 && key && value) out[key] = value;
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(value, nullptr);
  return out;
}

class Afc : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string udid = sim_.AddDevice(51);
    ASSERT_FALSE(udid.empty());
    ASSERT_TRUE(sim_.Start());
    monitor_ = std::make_unique<MonitorThread>();
    device_ = monitor_->WaitForMessage(kADNCIMessageConnected).device;
    ASSERT_NE(device_, nullptr);
    OpenSession(device_);
    ASSERT_EQ(AMDeviceSecureStartService(device_, Str("com.apple.afc"), nullptr, &service_), 0);
    ASSERT_EQ(AMDServiceConnectionGetSecureIOContext(service_), nullptr);
    ASSERT_EQ(AFCConnectionOpen(AMDServiceConnectionGetSocket(service_), 0, &afc_), 0);
  }
  void TearDown() override {
    if (afc_) {
      EXPECT_EQ(AFCConnectionClose(afc_), 0);
    }
    if (service_) AMDServiceConnectionInvalidate(service_);
  }

  std::map<std::string, std::string> Info(const char* path, int* rc = nullptr) {
    AFCDictionaryRef info = nullptr;
    const int r = AFCFileInfoOpen(afc_, path, &info);
    if (rc) *rc = r;
    if (r != 0) return {};
    auto out = ReadAll(info);
    EXPECT_EQ(AFCKeyValueClose(info), 0);
    return out;
  }
  bool Write(const char* path, uint64_t mode, const std::string& bytes) {
    AFCFileRef f = 0;
    if (AFCFileRefOpen(afc_, path, mode, &f) != 0) return false;
    const bool ok = AFCFileRefWrite(afc_, f, bytes.data(), bytes.size()) == 0;
    return AFCFileRefClose(afc_, f) == 0 && ok;
  }
  std::string Read(const char* path) {
    AFCFileRef f = 0;
    if (AFCFileRefOpen(afc_, path, 1, &f) != 0) return "<open failed>";
    std::string out;
    std::vector<char> buf(1 << 20);
    for (;;) {
      size_t n = buf.size();
      if (AFCFileRefRead(afc_, f, buf.data(), &n) != 0) return "<read failed>";
      if (n == 0) break;
      out.append(buf.data(), n);
    }
    AFCFileRefClose(afc_, f);
    return out;
  }
  std::vector<std::string> List(const char* path) {
    AFCDirectoryRef dir = nullptr;
    std::vector<std::string> out;
    if (AFCDirectoryOpen(afc_, path, &dir) != 0) return out;
    char* name = nullptr;
    while (AFCDirectoryRead(afc_, dir, &name) == 0 && name) out.push_back(name);
    EXPECT_EQ(AFCDirectoryClose(afc_, dir), 0);
    return out;
  }

  Simulator sim_;
  std::unique_ptr<MonitorThread> monitor_;
  AMDeviceRef device_ = nullptr;
  AMDServiceConnectionRef service_ = nullptr;
  AFCConnectionRef afc_ = nullptr;
};

TEST_F(Afc, WriteStatReadListRenameRemove) {
  ASSERT_EQ(AFCDirectoryCreate(afc_, "/Downloads/vado"), 0);
  ASSERT_TRUE(Write("/Downloads/vado/a.txt", 3, "hello afc"));
  auto info = Info("/Downloads/vado/a.txt");
  EXPECT_EQ(info["st_size"], "9");
  EXPECT_EQ(info["st_ifmt"], "S_IFREG");
  EXPECT_FALSE(info["st_mtime"].empty());
  EXPECT_EQ(Info("/Downloads/vado")["st_ifmt"], "S_IFDIR");
  EXPECT_EQ(Read("/Downloads/vado/a.txt"), "hello afc");

  auto names = List("/Downloads/vado");
  EXPECT_NE(std::find(names.begin(), names.end(), "a.txt"), names.end());

  ASSERT_EQ(AFCRenamePath(afc_, "/Downloads/vado/a.txt", "/Downloads/vado/b.txt"), 0);
  int rc = 0;
  Info("/Downloads/vado/a.txt", &rc);
  EXPECT_EQ(rc, 8);  // not found
  EXPECT_EQ(Read("/Downloads/vado/b.txt"), "hello afc");

  EXPECT_NE(AFCRemovePath(afc_, "/Downloads/vado"), 0);  // not empty
  EXPECT_EQ(AFCRemovePath(afc_, "/Downloads/vado/b.txt"), 0);
  EXPECT_EQ(AFCRemovePath(afc_, "/Downloads/vado"), 0);
  Info("/Downloads/vado", &rc);
  EXPECT_EQ(rc, 8);
}

TEST_F(Afc, DeviceInfoGivesModelAndFileSystemFigures) {
  AFCDictionaryRef info = nullptr;
  ASSERT_EQ(AFCDeviceInfoOpen(afc_, &info), 0);
  auto values = ReadAll(info);
  // Reading past the end keeps answering "no more".
  char* key = reinterpret_cast<char*>(1);
  char* value = reinterpret_cast<char*>(1);
  EXPECT_EQ(AFCKeyValueRead(info, &key, &value), 0);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(AFCKeyValueClose(info), 0);
  CfHolder type(AMDeviceCopyValue(device_, nullptr, Str("ProductType")));
  EXPECT_EQ(values["Model"], Utf8(type.get()));
  EXPECT_FALSE(values["Model"].empty());
  EXPECT_GT(std::stoll(values["FSTotalBytes"]), 0);
  EXPECT_GE(std::stoll(values["FSFreeBytes"]), 0);
  EXPECT_NE(AFCKeyValueClose(info), 0);  // closed already
}

TEST_F(Afc, ModesCreateKeepAndTruncate) {
  // 2: read/write, creating the file and keeping what is there.
  ASSERT_TRUE(Write("/Downloads/m.bin", 2, "0123456789"));
  ASSERT_TRUE(Write("/Downloads/m.bin", 2, "ab"));
  EXPECT_EQ(Read("/Downloads/m.bin"), "ab23456789");
  // 3: write, truncating.
  ASSERT_TRUE(Write("/Downloads/m.bin", 3, "xyz"));
  EXPECT_EQ(Read("/Downloads/m.bin"), "xyz");
  // 1 on a missing file fails; modes outside 1..6 are refused.
  AFCFileRef f = 0;
  EXPECT_NE(AFCFileRefOpen(afc_, "/Downloads/none.bin", 1, &f), 0);
  EXPECT_NE(AFCFileRefOpen(afc_, "/Downloads/m.bin", 9, &f), 0);
  EXPECT_EQ(f, 0u);
}

TEST_F(Afc, SeekTellAndSetSize) {
  AFCFileRef f = 0;
  ASSERT_EQ(AFCFileRefOpen(afc_, "/Downloads/s.bin", 4, &f), 0);
  ASSERT_EQ(AFCFileRefWrite(afc_, f, "abcdefgh", 8), 0);
  uint64_t pos = 0;
  ASSERT_EQ(AFCFileRefTell(afc_, f, &pos), 0);
  EXPECT_EQ(pos, 8u);
  ASSERT_EQ(AFCFileRefSeek(afc_, f, 2, 0), 0);
  char buf[4] = {};
  size_t n = sizeof buf;
  ASSERT_EQ(AFCFileRefRead(afc_, f, buf, &n), 0);
  EXPECT_EQ(std::string(buf, n), "cdef");
  ASSERT_EQ(AFCFileRefSetFileSize(afc_, f, 3), 0);
  EXPECT_EQ(AFCFlushData(afc_, f), 0);
  ASSERT_EQ(AFCFileRefClose(afc_, f), 0);
  EXPECT_EQ(Read("/Downloads/s.bin"), "abc");
}

TEST_F(Afc, LargeFileCrossesManyChunks) {
  std::string data(9 * 1024 * 1024 + 123, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 12));
  ASSERT_TRUE(Write("/Downloads/large.bin", 3, data));
  EXPECT_EQ(Info("/Downloads/large.bin")["st_size"], std::to_string(data.size()));
  EXPECT_TRUE(Read("/Downloads/large.bin") == data);
}

TEST_F(Afc, ThreadsShareOneConnection) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string path = "/Downloads/t" + std::to_string(t) + ".txt";
      for (int i = 0; i < 15; ++i) {
        const std::string body = std::string(1000 + 97 * t + i, static_cast<char>('a' + t));
        if (Write(path.c_str(), 3, body) && Read(path.c_str()) == body) ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, 60);
}

TEST_F(Afc, PathsOutsideTheMediaFolderAreRefused) {
  int rc = 0;
  Info("/../../../../etc/passwd", &rc);
  EXPECT_NE(rc, 0);
  AFCFileRef f = 0;
  EXPECT_NE(AFCFileRefOpen(afc_, "/../outside.txt", 3, &f), 0);
}

TEST_F(Afc, NullAndStaleArgumentsFailCleanly) {
  AFCDirectoryRef dir = nullptr;
  EXPECT_NE(AFCDirectoryOpen(afc_, nullptr, &dir), 0);
  EXPECT_NE(AFCDirectoryOpen(nullptr, "/", &dir), 0);
  EXPECT_EQ(dir, nullptr);
  char* entry = reinterpret_cast<char*>(1);
  EXPECT_NE(AFCDirectoryRead(afc_, reinterpret_cast<AFCDirectoryRef>(0x10), &entry), 0);
  EXPECT_EQ(entry, nullptr);
  char* key = nullptr;
  char* value = nullptr;
  EXPECT_NE(AFCKeyValueRead(reinterpret_cast<AFCDictionaryRef>(0x10), &key, &value), 0);
  size_t n = 4;
  char buf[4];
  EXPECT_NE(AFCFileRefRead(afc_, 0, buf, &n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_NE(AFCFileRefWrite(afc_, 1, nullptr, 5), 0);
  EXPECT_NE(AFCConnectionOpen(-1, 0, nullptr), 0);
  AFCConnectionRef none = nullptr;
  EXPECT_NE(AFCConnectionOpen(987654, 0, &none), 0);
  EXPECT_EQ(none, nullptr);
  EXPECT_NE(AFCRemovePath(reinterpret_cast<AFCConnectionRef>(0x20), "/x"), 0);
  CfHolder text(AFCCopyErrorString(afc_));
  EXPECT_FALSE(Utf8(text.get()).empty());
}

}  // namespace
}  // namespace md::testing
