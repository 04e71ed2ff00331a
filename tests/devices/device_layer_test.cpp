#include <gtest/gtest.h>

#include <thread>

#include "device_fixture.h"
#include "farm_values.h"
#include "utility/ios/device_errors.h"
#include "utility/ios/device_values.h"
#include "utility/ios/vado_device_connection.h"
#include "utility/ios/vado_device_monitor.h"
#include "utility/ios/vado_device_service.h"

namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

class DeviceLayerTest : public ::testing::Test {
 protected:
  SimulatorFixture fixture_;
};

TEST_F(DeviceLayerTest, SessionReadsValuesKeysAndWholeDomains) {
  std::string udid;
  devsim::DeviceSpec wanted;
  wanted.seed = 11;
  wanted.product_version = "16.4.1";
  AMDeviceRef device = fixture_.Attach(wanted, &udid);
  ASSERT_NE(device, nullptr);
  int32_t error = -1;
  SessionPtr session = GetSession(device, &error);
  ASSERT_TRUE(session) << "error " << error;
  EXPECT_EQ(error, 0);
  EXPECT_EQ(GetSession(device, &error), session);  // shared while held

  FarmValues farm = ReadFarmValues(fixture_.sim().farm_dir(), udid);
  PlistValue value;
  ASSERT_TRUE(GetDeviceValue(device, "", "ProductVersion", &value));
  EXPECT_EQ(Narrow(value.text()), "16.4.1");
  ASSERT_TRUE(GetDeviceValue(device, "", "SerialNumber", &value));
  EXPECT_EQ(Narrow(value.text()), farm.serial_number);
  int64_t chip = 0;
  EXPECT_TRUE(GetDeviceNumber(device, "UniqueChipID", "", &chip));
  EXPECT_NE(chip, 0);
  EXPECT_FALSE(GetDeviceNumber(device, "DeviceName", "", &chip));  // text, not a number

  PlistValue disk;
  ASSERT_TRUE(GetDeviceValue(device, "com.apple.disk_usage", "", &disk));
  ASSERT_EQ(disk.tag(), kPlistDictionary);
  EXPECT_NE(disk.dictionary()->Find("TotalDataCapacity"), nullptr);
  EXPECT_FALSE(GetDeviceValue(device, "", "NoSuchKeyAnywhere", &value));
}

TEST_F(DeviceLayerTest, ConcurrentAfcUsersShareOneService) {
  AMDeviceRef device = fixture_.Attach(devsim::DeviceSpec{});
  ASSERT_NE(device, nullptr);
  ServicePtr first, second;
  int32_t e1 = 0, e2 = 0;
  std::thread a([&] { first = GetService(device, &e1, kAfcServiceName, nullptr, true); });
  std::thread b([&] { second = GetService(device, &e2, kAfcServiceName, nullptr, true); });
  a.join();
  b.join();
  ASSERT_TRUE(first);
  EXPECT_EQ(first, second);
  EXPECT_NE(first->afc(), nullptr);
  // Another service is never shared.
  int32_t error = 0;
  ServicePtr other = GetService(device, &error, "com.apple.afc2", nullptr, false);
  if (other) {
    EXPECT_NE(other, first);
  }
}

TEST_F(DeviceLayerTest, RefusedFirstConnectionConnectsOnSecondTry) {
  std::string udid;
  AMDeviceRef device = fixture_.Attach(devsim::DeviceSpec{}, &udid);
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(fixture_.sim().Control({"fault", udid, "refuse-lockdown", "1"}).status, 0);
  int32_t error = -1;
  SessionPtr session = RenewSession(device, &error);
  EXPECT_TRUE(session) << "error " << error;
}

TEST_F(DeviceLayerTest, UntrustedDeviceAsksForPairingUntilTrusted) {
  std::string udid;
  devsim::DeviceSpec wanted;
  wanted.untrusted = true;
  wanted.seed = 5;
  AMDeviceRef device = fixture_.Attach(wanted, &udid);
  ASSERT_NE(device, nullptr);
  int32_t error = 0;
  EXPECT_FALSE(CreateSession(device, &error));
  EXPECT_EQ(error, kDeviceErrorNotPaired);
  ASSERT_EQ(fixture_.sim().Control({"trust", udid}).status, 0);
  // The library keeps asking in the background and reports the trust (message 4).
  ASSERT_TRUE(DeviceWatcher::Get().WaitForTrust(device));
  SessionPtr session = RenewSession(device, &error);
  EXPECT_TRUE(session) << "error " << error;
}

TEST_F(DeviceLayerTest, PasscodeLockedDeviceRefusesServicesWithError48) {
  std::string udid;
  AMDeviceRef device = fixture_.Attach(devsim::DeviceSpec{}, &udid);
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(fixture_.sim().Control({"lock", udid}).status, 0);
  int32_t error = 0;
  EXPECT_FALSE(GetService(device, &error, kAfcServiceName, nullptr, true));
  EXPECT_EQ(error, kDeviceErrorPasscodeLocked);
}

TEST(DeviceVersion, VersionNumberIsMajorTimesTenPlusMinor) {
  EXPECT_EQ(VersionNumber(u"12.4.1"), 124u);
  EXPECT_EQ(VersionNumber(u"9.3"), 93u);
  EXPECT_EQ(VersionNumber(u"10.0"), 100u);
  EXPECT_EQ(VersionNumber(u"4.1"), 41u);
  EXPECT_EQ(VersionNumber(u"17"), 170u);
  EXPECT_EQ(VersionNumber(u""), 0u);
}

}  // namespace
