// Service connections: start results, TLS marking, raw send/receive and invalidation.
#include <sys/socket.h>

#include "md_errors.h"
#include "md_test_support.h"

namespace md::testing {
namespace {

AMDeviceRef AttachWithSession(Simulator& sim, MonitorThread& monitor) {
  AMDeviceRef device = monitor.WaitForMessage(kADNCIMessageConnected).device;
  if (device) OpenSession(device);
  return device;
}

TEST(Services, PasscodeLockedDeviceRefusesWithPasswordProtectedError) {
  Simulator sim;
  ASSERT_FALSE(sim.AddDevice(41, {"--locked"}).empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = AttachWithSession(sim, monitor);
  ASSERT_NE(device, nullptr);
  AMDServiceConnectionRef conn = reinterpret_cast<AMDServiceConnectionRef>(1);
  EXPECT_EQ(static_cast<unsigned>(
                AMDeviceSecureStartService(device, Str("com.apple.afc"), nullptr, &conn)),
            0xE800001Au);
  EXPECT_EQ(conn, nullptr);
}

TEST(Services, UnlockingLetsTheServiceStart) {
  Simulator sim;
  const std::string udid = sim.AddDevice(42, {"--locked"});
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = AttachWithSession(sim, monitor);
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(sim.Control({"unlock", udid}));
  AMDServiceConnectionRef conn = nullptr;
  ASSERT_EQ(AMDeviceSecureStartService(device, Str("com.apple.afc"), nullptr, &conn), 0);
  EXPECT_EQ(AMDServiceConnectionInvalidate(conn), 0);
}

TEST(Services, UnknownServiceFailsWithAnotherDeviceError) {
  Simulator sim;
  ASSERT_FALSE(sim.AddDevice(43).empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = AttachWithSession(sim, monitor);
  ASSERT_NE(device, nullptr);
  AMDServiceConnectionRef conn = nullptr;
  const int rc = AMDeviceSecureStartService(device, Str("com.example.nothing"), nullptr, &conn);
  EXPECT_NE(rc, 0);
  EXPECT_NE(static_cast<unsigned>(rc), 0xE800001Au);
  EXPECT_EQ(static_cast<unsigned>(rc) & 0xFFFFFF00u, 0xE8000000u);
  EXPECT_EQ(conn, nullptr);
}

TEST(Services, StartNeedsASession) {
  Simulator sim;
  ASSERT_FALSE(sim.AddDevice(44).empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = monitor.WaitForMessage(kADNCIMessageConnected).device;
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(AMDeviceConnect(device), 0);
  AMDServiceConnectionRef conn = nullptr;
  EXPECT_NE(AMDeviceSecureStartService(device, Str("com.apple.afc"), nullptr, &conn), 0);
  EXPECT_EQ(conn, nullptr);
}

TEST(Services, AfcOverUsbIsPlainAndSpeaksThroughSendAndReceive) {
  Simulator sim;
  ASSERT_FALSE(sim.AddDevice(45).empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = AttachWithSession(sim, monitor);
  ASSERT_NE(device, nullptr);
  AMDServiceConnectionRef conn = nullptr;
  ASSERT_EQ(AMDeviceSecureStartService(device, Str("com.apple.afc"), nullptr, &conn), 0);
  EXPECT_EQ(AMDServiceConnectionGetSecureIOContext(conn), nullptr);
  EXPECT_GE(AMDServiceConnectionGetSocket(conn), 0);

  // An AFC device-information request written by hand: header only, packet number 1.
  uint8_t request[40] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A', 40, 0, 0, 0, 0, 0, 0, 0,
                         40,  0,   0,   0,   0,   0,   0,   0,   1,  0, 0, 0, 0, 0, 0, 0,
                         0x0B, 0,  0,   0,   0,   0,   0,   0};
  EXPECT_EQ(AMDServiceConnectionSend(conn, request, sizeof request), 40);
  uint8_t reply[40];
  size_t got = 0;
  while (got < sizeof reply) {
    const int n = AMDServiceConnectionReceive(conn, reply + got, sizeof reply - got);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 8), "CFA6LPAA");
  EXPECT_EQ(reply[32], 0x02);  // data

  EXPECT_EQ(AMDServiceConnectionInvalidate(conn), 0);
  EXPECT_EQ(AMDServiceConnectionSend(conn, request, sizeof request), -1);
  EXPECT_EQ(AMDServiceConnectionReceive(conn, reply, sizeof reply), -1);
  EXPECT_EQ(AMDServiceConnectionGetSocket(conn), -1);
  EXPECT_NE(AMDServiceConnectionInvalidate(conn), 0);
}

TEST(Services, EscrowBagOptionStartsTheService) {
  Simulator sim;
  ASSERT_FALSE(sim.AddDevice(47).empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = AttachWithSession(sim, monitor);
  ASSERT_NE(device, nullptr);
  CFMutableDictionaryRef options = CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(options, Str("UnlockEscrowBag"), kCFBooleanTrue);
  AMDServiceConnectionRef conn = nullptr;
  EXPECT_EQ(AMDeviceSecureStartService(device, Str("com.apple.afc"), options, &conn), 0);
  CFRelease(options);
  if (conn) AMDServiceConnectionInvalidate(conn);
}

TEST(Services, UnknownHandlesFailCleanly) {
  auto bogus = reinterpret_cast<AMDServiceConnectionRef>(0x1000);
  char byte = 0;
  EXPECT_EQ(AMDServiceConnectionSend(bogus, &byte, 1), -1);
  EXPECT_EQ(AMDServiceConnectionReceive(bogus, &byte, 1), -1);
  EXPECT_EQ(AMDServiceConnectionGetSocket(bogus), -1);
  EXPECT_EQ(AMDServiceConnectionGetSecureIOContext(bogus), nullptr);
  EXPECT_NE(AMDServiceConnectionInvalidate(bogus), 0);
  auto device = reinterpret_cast<AMDeviceRef>(0x2000);
  EXPECT_NE(AMDeviceConnect(device), 0);
  EXPECT_EQ(AMDeviceIsPaired(device), 0);
  EXPECT_EQ(AMDeviceGetInterfaceType(device), 0);
  EXPECT_EQ(AMDeviceCopyValue(device, nullptr, Str("DeviceName")), nullptr);
  EXPECT_NE(AMDevicePair(device), 0);
}

TEST(Services, UnusedExportsFailWithAnError) {
  EXPECT_EQ(AMRestoreModeDeviceCreate(0, 1, 0), nullptr);
  EXPECT_NE(AMRestoreRegisterForDeviceNotifications(nullptr, nullptr, nullptr, nullptr, 0,
                                                    nullptr),
            0);
  CFDictionaryRef apps = reinterpret_cast<CFDictionaryRef>(1);
  EXPECT_NE(AMDeviceLookupApplications(nullptr, nullptr, &apps), 0);
  EXPECT_EQ(apps, nullptr);
  EXPECT_NE(AMDeviceSecureUninstallApplication(nullptr, nullptr, nullptr, nullptr, nullptr,
                                               nullptr),
            0);
  EXPECT_NE(AMDeviceSecureTransferPath(0, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_NE(AMDPostNotification(-1, nullptr, nullptr), 0);
  EXPECT_NE(AMDShutdownNotificationProxy(-1), 0);
  EXPECT_NE(AMDListenForNotifications(-1, nullptr, nullptr), 0);
  EXPECT_NE(AMDObserveNotification(-1, nullptr), 0);
  AMDServiceHandle handle = 0;
  EXPECT_NE(AMDeviceStartService(nullptr, nullptr, &handle, nullptr), 0);
  CfHolder text(AMDCopyErrorText(static_cast<int>(0xE800001A)));
  EXPECT_FALSE(Utf8(text.get()).empty());
  EXPECT_EQ(AMDCopyErrorText(12345), nullptr);
}

}  // namespace
}  // namespace md::testing
