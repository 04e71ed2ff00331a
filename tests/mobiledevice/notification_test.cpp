// Device notifications reach the subscriber's run-loop thread as usbmuxd reports devices.
#include "md_test_support.h"

namespace md::testing {
namespace {

TEST(DeviceNotifications, AttachAndDetachArriveOnTheRunLoopThread) {
  Simulator sim;
  const std::string udid = sim.AddDevice(11);
  ASSERT_FALSE(udid.empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  ASSERT_EQ(monitor.subscribe_result(), 0);

  Event attached = monitor.WaitForMessage(kADNCIMessageConnected);
  ASSERT_NE(attached.device, nullptr);
  EXPECT_EQ(attached.thread, monitor.thread_id());
  EXPECT_EQ(AMDeviceGetInterfaceType(attached.device), 1);
  EXPECT_NE(AMDeviceGetConnectionID(attached.device), 0u);

  const size_t before = monitor.events().size();
  ASSERT_TRUE(sim.Control({"unplug", udid}));
  Event detached = monitor.WaitForMessage(kADNCIMessageDisconnected, before);
  EXPECT_EQ(detached.device, attached.device);
  EXPECT_EQ(detached.thread, monitor.thread_id());

  // Plugged in again, the device keeps its handle: the agent's tables may still hold it.
  const size_t after_unplug = monitor.events().size();
  ASSERT_TRUE(sim.Control({"plug", udid}));
  Event again = monitor.WaitForMessage(kADNCIMessageConnected, after_unplug);
  EXPECT_EQ(again.device, attached.device);
}

TEST(DeviceNotifications, WifiDeviceReportsANetworkInterface) {
  Simulator sim;
  ASSERT_FALSE(sim.AddDevice(12, {"--wifi"}).empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread monitor;
  Event attached = monitor.WaitForMessage(kADNCIMessageConnected);
  ASSERT_NE(attached.device, nullptr);
  EXPECT_NE(AMDeviceGetInterfaceType(attached.device), 1);
}

TEST(DeviceNotifications, DaemonStartedAfterSubscribingIsNoticed) {
  Simulator sim;
  ASSERT_FALSE(sim.AddDevice(13).empty());
  // The socket address is known before the daemon runs, as when the agent starts first.
  sim.harness().ExportSocket();
  MonitorThread monitor;
  ASSERT_EQ(monitor.subscribe_result(), 0);
  ASSERT_TRUE(sim.Start());
  EXPECT_NE(monitor.WaitForMessage(kADNCIMessageConnected).device, nullptr);
}

TEST(DeviceNotifications, LaterSubscriberHearsOfAttachedDevicesOnce) {
  Simulator sim;
  ASSERT_FALSE(sim.AddDevice(14).empty());
  ASSERT_TRUE(sim.Start());
  MonitorThread first;
  Event seen = first.WaitForMessage(kADNCIMessageConnected);
  ASSERT_NE(seen.device, nullptr);
  MonitorThread second;
  Event also = second.WaitForMessage(kADNCIMessageConnected);
  EXPECT_EQ(also.device, seen.device);
  EXPECT_EQ(also.thread, second.thread_id());
  size_t attaches = 0;
  for (const Event& e : second.events()) attaches += e.message == kADNCIMessageConnected;
  EXPECT_EQ(attaches, 1u);
}

TEST(DeviceNotifications, SubscribeRejectsMissingArguments) {
  AMDeviceNotificationRef ref = nullptr;
  EXPECT_NE(AMDeviceNotificationSubscribe(nullptr, 0, 0, nullptr, &ref), 0);
  EXPECT_EQ(ref, nullptr);
  EXPECT_NE(AMDeviceNotificationUnsubscribe(nullptr), 0);
}

}  // namespace
}  // namespace md::testing
