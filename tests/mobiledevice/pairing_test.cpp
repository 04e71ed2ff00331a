// Pairing: a pending trust prompt is asked again in the background until the user answers.
#include "md_test_support.h"

#include "md_errors.h"

namespace md::testing {
namespace {

TEST(Pairing, UntrustedDeviceBecomesPairedWhenTheUserTrusts) {
  Simulator sim;
  const std::string udid = sim.AddDevice(21, {"--untrusted"});
  ASSERT_FALSE(udid.empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = monitor.WaitForMessage(kADNCIMessageConnected).device;
  ASSERT_NE(device, nullptr);

  EXPECT_EQ(AMDeviceIsPaired(device), 0);
  ASSERT_EQ(AMDeviceConnect(device), 0);
  EXPECT_NE(AMDeviceStartSession(device), 0);  // no pair record yet
  EXPECT_EQ(AMDevicePair(device), kPairingDialogResponsePendingError);
  EXPECT_EQ(AMDeviceIsPaired(device), 0);

  ASSERT_TRUE(sim.Control({"trust", udid}));
  Event trusted = monitor.WaitForMessage(4);
  ASSERT_EQ(trusted.device, device);
  EXPECT_EQ(trusted.thread, monitor.thread_id());
  EXPECT_EQ(AMDeviceIsPaired(device), 1);

  // The session the agent then renews works with the saved record.
  EXPECT_EQ(AMDeviceValidatePairing(device), 0);
  EXPECT_EQ(AMDeviceStartSession(device), 0);
  EXPECT_EQ(AMDeviceStopSession(device), 0);
  EXPECT_EQ(AMDeviceStartSession(device), 0);
  size_t trust_messages = 0;
  for (const Event& e : monitor.events()) trust_messages += e.message == 4;
  EXPECT_EQ(trust_messages, 1u);
}

TEST(Pairing, RefusedTrustIsNotAnnounced) {
  Simulator sim;
  const std::string udid = sim.AddDevice(22, {"--untrusted"});
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = monitor.WaitForMessage(kADNCIMessageConnected).device;
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(AMDevicePair(device), kPairingDialogResponsePendingError);
  ASSERT_TRUE(sim.Control({"deny", udid}));
  // Asking again after the refusal never reports success.
  const int rc = AMDevicePair(device);
  EXPECT_TRUE(rc == kUserDeniedPairingError || rc == kPairingDialogResponsePendingError) << rc;
  EXPECT_EQ(AMDeviceIsPaired(device), 0);
  for (const Event& e : monitor.events()) EXPECT_NE(e.message, 4u);
}

TEST(Pairing, TrustedDeviceIsPairedWithoutAsking) {
  Simulator sim;
  ASSERT_FALSE(sim.AddDevice(23).empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = monitor.WaitForMessage(kADNCIMessageConnected).device;
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(AMDeviceIsPaired(device), 1);
  OpenSession(device);
}

TEST(Pairing, DetachedDeviceRefusesSessionsCleanly) {
  Simulator sim;
  const std::string udid = sim.AddDevice(24);
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  AMDeviceRef device = monitor.WaitForMessage(kADNCIMessageConnected).device;
  ASSERT_NE(device, nullptr);
  OpenSession(device);
  ASSERT_TRUE(sim.Control({"unplug", udid}));
  ASSERT_NE(monitor.WaitForMessage(kADNCIMessageDisconnected).device, nullptr);
  EXPECT_EQ(AMDevicePair(device), kDeviceDisconnectedError);
  EXPECT_EQ(AMDeviceConnect(device), kDeviceDisconnectedError);
  EXPECT_EQ(AMDeviceCopyValue(device, nullptr, Str("DeviceName")), nullptr);
  EXPECT_EQ(AMDeviceDisconnect(device), 0);
}

}  // namespace
}  // namespace md::testing
