// Connections, sessions and services across renewals, re-attaches and many devices, and
// the checks on the identifier a device reports.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "device_fixture.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/device_errors.h"
#include "utility/ios/device_identity.h"
#include "utility/ios/usbmux_serial.h"
#include "utility/ios/vado_device_connection.h"
#include "utility/ios/vado_device_service.h"

namespace {

constexpr const char* kProxy = "com.apple.mobile.installation_proxy";

// Short device deadlines for this process, set before the library first reads them.
[[maybe_unused]] const bool kShortDeadlines = [] {
  setenv("VADO_MD_TIMEOUT_MS", "2000", 0);
  setenv("VADO_MD_STALL_MS", "2000", 0);
  return true;
}();
constexpr int kDeadlineSeconds = 2;

class DeviceLinksTest : public ::testing::Test {
 protected:
  SimulatorFixture fixture_;
};

// A service can be started only while the device's session runs.
bool SessionRuns(AMDeviceRef device) {
  int32_t error = 0;
  ServicePtr proxy = StartService(device, &error, kProxy, nullptr, false);
  return proxy != nullptr;
}

TEST_F(DeviceLinksTest, OldHolderReleaseAfterRenewalLeavesNewSessionRunning) {
  AMDeviceRef device = fixture_.Attach(devsim::DeviceSpec{});
  ASSERT_NE(device, nullptr);
  int32_t error = 0;
  SessionPtr old_session = GetSession(device, &error);
  ASSERT_TRUE(old_session) << "error " << error;
  SessionPtr renewed = RenewSession(device, &error);
  ASSERT_TRUE(renewed) << "error " << error;
  ASSERT_NE(renewed, old_session);
  old_session.reset();  // the old holder finishes after the renewal
  EXPECT_EQ(GetSession(device, &error), renewed);
  EXPECT_TRUE(SessionRuns(device));
  // The newest holder's release still stops its own session.
  renewed.reset();
  EXPECT_TRUE(SessionRuns(device));  // a fresh session is made on demand
}

TEST_F(DeviceLinksTest, UnplugAndReplugWhileHeldLetsOldAndNewHoldersFinish) {
  std::string udid;
  AMDeviceRef device = fixture_.Attach(devsim::DeviceSpec{}, &udid);
  ASSERT_NE(device, nullptr);
  int32_t error = 0;
  SessionPtr old_session = GetSession(device, &error);
  ServicePtr old_afc = GetService(device, &error, kAfcServiceName, nullptr, true);
  ASSERT_TRUE(old_session && old_afc) << "error " << error;

  ASSERT_EQ(fixture_.sim().Control({"unplug", udid}).status, 0);
  ForgetDeviceLinks(device);  // what the monitor does on departure
  ForgetDeviceServices(device);
  ASSERT_EQ(fixture_.sim().Control({"plug", udid}).status, 0);
  AMDeviceRef again = DeviceWatcher::Get().WaitForDevice(udid);
  ASSERT_NE(again, nullptr);

  SessionPtr new_session = GetSession(again, &error);
  ASSERT_TRUE(new_session) << "error " << error;
  EXPECT_NE(new_session, old_session);
  ServicePtr new_afc = GetService(again, &error, kAfcServiceName, nullptr, true);
  ASSERT_TRUE(new_afc) << "error " << error;
  EXPECT_NE(new_afc, old_afc);

  // The old attachment's holders finish; the new session keeps running.
  old_afc.reset();
  old_session.reset();
  EXPECT_TRUE(SessionRuns(again));
  AFCDictionaryRef info = nullptr;
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  ASSERT_EQ(fun.AFCDeviceInfoOpen(new_afc->afc(), &info), 0);
  ASSERT_NE(info, nullptr);
  fun.AFCKeyValueClose(info);
}

TEST_F(DeviceLinksTest, ManyDevicesGetSessionsAndServicesInParallel) {
  constexpr int kDevices = 8;
  std::vector<AMDeviceRef> devices;
  for (int i = 0; i < kDevices; ++i) {
    devsim::DeviceSpec wanted;
    wanted.seed = 300 + static_cast<uint64_t>(i);
    AMDeviceRef device = fixture_.Attach(wanted);
    ASSERT_NE(device, nullptr);
    devices.push_back(device);
  }
  std::vector<ServicePtr> services(kDevices);
  std::vector<int32_t> errors(kDevices, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kDevices; ++i) {
    threads.emplace_back([&, i] {
      int32_t error = 0;
      SessionPtr session = RenewSession(devices[i], &error);
      services[i] = GetService(devices[i], &errors[i], kAfcServiceName, nullptr, true);
      if (!session) errors[i] = error;
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kDevices; ++i) {
    EXPECT_TRUE(services[i]) << "device " << i << " error " << errors[i];
    EXPECT_EQ(errors[i], 0);
  }
}

TEST_F(DeviceLinksTest, MultiplexerNamesTheSerialOfEachAttachedDevice) {
  std::string udid;
  AMDeviceRef device = fixture_.Attach(devsim::DeviceSpec{}, &udid);
  ASSERT_NE(device, nullptr);
  std::string serial;
  uint32_t id = CMobileExportFun::GetInstance().AMDeviceGetConnectionID(device);
  ASSERT_TRUE(UsbmuxSerial(id, &serial));
  EXPECT_EQ(serial, udid);
  EXPECT_TRUE(AcceptDeviceIdentifier(udid, serial));
  EXPECT_FALSE(UsbmuxSerial(id + 1000, &serial));  // no such device
  EXPECT_TRUE(serial.empty());
}

// A full exchange with a healthy device: a new session, the shared AFC service and its
// device information. Returns the time it took, or a negative value on failure.
double HealthyExchangeSeconds(AMDeviceRef device) {
  auto start = std::chrono::steady_clock::now();
  int32_t error = 0;
  SessionPtr session = RenewSession(device, &error);
  ServicePtr afc = GetService(device, &error, kAfcServiceName, nullptr, true);
  if (!session || !afc) return -1;
  CMobileExportFun& fun = CMobileExportFun::GetInstance();
  AFCDictionaryRef info = nullptr;
  if (fun.AFCDeviceInfoOpen(afc->afc(), &info) != 0 || info == nullptr) return -1;
  fun.AFCKeyValueClose(info);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// While `stalled` is held up by `fault` (a stall without end) in `work`, another device's
// exchange must finish in under a second, and the stalled work must fail (`work` returns
// false) within its deadline.
void ExpectOtherDeviceServed(SimulatorFixture& fixture, const std::string& stalled_udid,
                             AMDeviceRef healthy, const std::vector<std::string>& fault,
                             const std::function<bool()>& work) {
  ASSERT_EQ(fixture.sim().Control(fault).status, 0);
  auto start = std::chrono::steady_clock::now();
  bool stalled_ok = true;
  std::chrono::steady_clock::duration stalled_took{};
  std::thread stalled([&] {
    stalled_ok = work();
    stalled_took = std::chrono::steady_clock::now() - start;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it reach the stall
  const double healthy_seconds = HealthyExchangeSeconds(healthy);
  EXPECT_GE(healthy_seconds, 0.0);
  EXPECT_LT(healthy_seconds, 1.0);
  stalled.join();
  EXPECT_FALSE(stalled_ok);
  // A few deadlines at most: set-up steps may each meet the stall once.
  EXPECT_LT(stalled_took, std::chrono::seconds(6 * kDeadlineSeconds));
  fixture.sim().Control({"fault", stalled_udid, "clear"});
}

class StalledDeviceTest : public DeviceLinksTest {
 protected:
  void SetUp() override {
    devsim::DeviceSpec a, b;
    a.seed = 501;
    b.seed = 502;
    stalled_ = fixture_.Attach(a, &stalled_udid_);
    healthy_ = fixture_.Attach(b);
    ASSERT_NE(stalled_, nullptr);
    ASSERT_NE(healthy_, nullptr);
  }
  AMDeviceRef stalled_ = nullptr;
  AMDeviceRef healthy_ = nullptr;
  std::string stalled_udid_;
};

TEST_F(StalledDeviceTest, StalledSessionSetUpDoesNotHoldOtherDevices) {
  ExpectOtherDeviceServed(
      fixture_, stalled_udid_, healthy_,
      {"fault", stalled_udid_, "lockdown-stall", "0", "StartSession"},
      [&] {
        int32_t error = 0;
        SessionPtr session = RenewSession(stalled_, &error);
        return session != nullptr || error == 0;
      });
}

TEST_F(StalledDeviceTest, StalledServiceStartDoesNotHoldOtherDevices) {
  int32_t error = 0;
  SessionPtr session = GetSession(stalled_, &error);
  ASSERT_TRUE(session) << "error " << error;
  ExpectOtherDeviceServed(
      fixture_, stalled_udid_, healthy_,
      {"fault", stalled_udid_, "lockdown-stall", "0", "StartService"},
      [&] {
        int32_t start_error = 0;
        return GetService(stalled_, &start_error, kProxy, nullptr, false) != nullptr;
      });
}

TEST_F(StalledDeviceTest, StalledAfcReadDoesNotHoldOtherDevices) {
  ExpectOtherDeviceServed(
      fixture_, stalled_udid_, healthy_,
      {"fault", stalled_udid_, "service-stall", "0", "com.apple.afc"},
      [&] {
        int32_t error = 0;
        ServicePtr afc = GetService(stalled_, &error, kAfcServiceName, nullptr, true);
        if (!afc) return false;
        CMobileExportFun& fun = CMobileExportFun::GetInstance();
        AFCDictionaryRef info = nullptr;
        if (fun.AFCDeviceInfoOpen(afc->afc(), &info) != 0 || info == nullptr) return false;
        fun.AFCKeyValueClose(info);
        return true;
      });
}

TEST(DeviceIdentity, AcceptsOnlyPlainIdentifiersOfSaneLength) {
  EXPECT_TRUE(IsDeviceIdentifier("00008030-001A2B3C4D5E802E"));
  EXPECT_TRUE(IsDeviceIdentifier("0123456789abcdef0123456789abcdef01234567"));
  EXPECT_FALSE(IsDeviceIdentifier("../../x"));
  EXPECT_FALSE(IsDeviceIdentifier("00008030/001A2B3C4D5E802E"));
  EXPECT_FALSE(IsDeviceIdentifier("00008030\\001A2B3C4D5E802E"));
  EXPECT_FALSE(IsDeviceIdentifier("-0008030-001A2B3C4D5E802E"));
  EXPECT_FALSE(IsDeviceIdentifier("00008030-001A2B3C4D5E802Z"));
  EXPECT_FALSE(IsDeviceIdentifier(std::string("00008030\0001A2B3C", 16)));
  EXPECT_FALSE(IsDeviceIdentifier("0123456"));
  EXPECT_FALSE(IsDeviceIdentifier(std::string(kMaxDeviceIdLength + 1, 'a')));
  EXPECT_TRUE(IsDeviceIdentifier(std::string(kMaxDeviceIdLength, 'a')));
}

TEST(DeviceIdentity, IdentifierMustNameTheAttachedDevice) {
  EXPECT_TRUE(AcceptDeviceIdentifier("00008030-001A2B3C4D5E802E", "00008030-001A2B3C4D5E802E"));
  EXPECT_TRUE(AcceptDeviceIdentifier("00008030-001a2b3c4d5e802e", "00008030-001A2B3C4D5E802E"));
  // The multiplexer writes a 24-digit serial with its dash.
  EXPECT_TRUE(AcceptDeviceIdentifier("00008030001A2B3C4D5E802E", "00008030-001A2B3C4D5E802E"));
  EXPECT_FALSE(AcceptDeviceIdentifier("00008030-001A2B3C4D5E802F", "00008030-001A2B3C4D5E802E"));
  EXPECT_FALSE(AcceptDeviceIdentifier("../../x", "../../x"));
  EXPECT_FALSE(AcceptDeviceIdentifier("", "00008030-001A2B3C4D5E802E"));
  // Without a multiplexer answer only the form is checked.
  EXPECT_TRUE(AcceptDeviceIdentifier("00008030-001A2B3C4D5E802E", ""));
}

}  // namespace
