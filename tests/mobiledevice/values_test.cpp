// Device values: single keys, whole domains and the whole default domain, converted to CF.
#include "md_test_support.h"

namespace md::testing {
namespace {

class Values : public ::testing::Test {
 protected:
  void SetUp() override {
    udid_ = sim_.AddDevice(31, {"--name", "Value Phone", "--product-version", "16.4.1"});
    ASSERT_FALSE(udid_.empty());
    ASSERT_TRUE(sim_.Start());
    monitor_ = std::make_unique<MonitorThread>();
    device_ = monitor_->WaitForMessage(kADNCIMessageConnected).device;
    ASSERT_NE(device_, nullptr);
    OpenSession(device_);
  }

  Simulator sim_;
  std::string udid_;
  std::unique_ptr<MonitorThread> monitor_;
  AMDeviceRef device_ = nullptr;
};

TEST_F(Values, KeyOfTheDefaultDomain) {
  CfHolder name(AMDeviceCopyValue(device_, nullptr, Str("DeviceName")));
  EXPECT_EQ(Utf8(name.get()), "Value Phone");
  CfHolder id(AMDeviceCopyValue(device_, nullptr, Str("UniqueDeviceID")));
  EXPECT_EQ(Utf8(id.get()), udid_);
  CfHolder chip(AMDeviceCopyValue(device_, nullptr, Str("UniqueChipID")));
  ASSERT_NE(chip.get(), nullptr);
  ASSERT_EQ(CFGetTypeID(chip.get()), CFNumberGetTypeID());
  int64_t ecid = 0;
  EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(chip.get()), kCFNumberSInt64Type, &ecid));
  EXPECT_NE(ecid, 0);
}

TEST_F(Values, MissingKeyGivesNull) {
  EXPECT_EQ(AMDeviceCopyValue(device_, nullptr, Str("NoSuchKeyAnywhere")), nullptr);
}

TEST_F(Values, DomainWithoutKeyIsADictionary) {
  CfHolder usage(AMDeviceCopyValue(device_, Str("com.apple.disk_usage"), nullptr));
  ASSERT_NE(usage.get(), nullptr);
  ASSERT_EQ(CFGetTypeID(usage.get()), CFDictionaryGetTypeID());
  const void* total = CFDictionaryGetValue(static_cast<CFDictionaryRef>(usage.get()),
                                           Str("TotalDataCapacity"));
  ASSERT_NE(total, nullptr);
  EXPECT_EQ(CFGetTypeID(total), CFNumberGetTypeID());
  CfHolder one(AMDeviceCopyValue(device_, Str("com.apple.disk_usage"), Str("TotalDataCapacity")));
  EXPECT_TRUE(CFEqual(one.get(), total));
}

TEST_F(Values, NoDomainAndNoKeyIsTheWholeDefaultDomain) {
  CfHolder all(AMDeviceCopyValue(device_, nullptr, nullptr));
  ASSERT_NE(all.get(), nullptr);
  ASSERT_EQ(CFGetTypeID(all.get()), CFDictionaryGetTypeID());
  auto dict = static_cast<CFDictionaryRef>(all.get());
  EXPECT_EQ(Utf8(CFDictionaryGetValue(dict, Str("ProductVersion"))), "16.4.1");
  EXPECT_EQ(Utf8(CFDictionaryGetValue(dict, Str("DeviceName"))), "Value Phone");
}

TEST_F(Values, SetDeviceNameIsReadBack) {
  CFStringRef name = CFStringCreateWithCString(nullptr, "Renamed \xC3\xA9", kCFStringEncodingUTF8);
  EXPECT_EQ(AMDeviceSetValue(device_, nullptr, Str("DeviceName"), name), 0);
  CFRelease(name);
  CfHolder back(AMDeviceCopyValue(device_, nullptr, Str("DeviceName")));
  EXPECT_EQ(Utf8(back.get()), "Renamed \xC3\xA9");
}

TEST_F(Values, SetValueRefusedByTheDeviceReportsAnError) {
  CFStringRef value = CFStringCreateWithCString(nullptr, "X", kCFStringEncodingUTF8);
  const int rc = AMDeviceSetValue(device_, nullptr, Str("UniqueDeviceID"), value);
  CFRelease(value);
  EXPECT_NE(rc, 0);
  EXPECT_EQ(static_cast<unsigned>(rc) & 0xFFFFFF00u, 0xE8000000u);
  CfHolder id(AMDeviceCopyValue(device_, nullptr, Str("UniqueDeviceID")));
  EXPECT_EQ(Utf8(id.get()), udid_);
}

TEST_F(Values, ConcurrentReadersShareTheLockdownConnection) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        CfHolder v(AMDeviceCopyValue(device_, nullptr, Str("DeviceName")));
        good += Utf8(v.get()) == "Value Phone";
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, 40);
}

}  // namespace
}  // namespace md::testing
