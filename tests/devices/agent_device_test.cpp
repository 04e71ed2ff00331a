#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <deque>
#include <functional>

#include <rapidjson/document.h>

#include "agent_fixture.h"
#include "agent_process.h"
#include "farm_values.h"
#include "frontend_link.h"
#include "sim_harness.h"

namespace {

using namespace std::chrono_literals;
using AgentDeviceTest = AgentFixture;

TEST_F(AgentDeviceTest, ArrivalCarriesFarmValuesAndUnplugSendsDeparture) {
  devsim::DeviceSpec device;
  device.seed = 21;
  device.product_version = "16.4.1";
  std::string udid = Add(device);
  StartAll();
  const Seen* arrival = WaitFor([&](const Seen& s) { return IsArrival(s, udid); });
  ASSERT_NE(arrival, nullptr);
  FarmValues farm = ReadFarmValues(sim_.farm_dir(), udid);
  const auto& info = arrival->header["info"];
  EXPECT_EQ(std::string(info["Model"].GetString()), farm.product_type);
  EXPECT_EQ(std::string(info["FirmVersion"].GetString()), "16.4.1");
  EXPECT_EQ(std::string(info["Type"].GetString()), farm.device_class);
  EXPECT_EQ(info["Data_FreeSize"].GetUint64(), farm.free_bytes);
  EXPECT_EQ(info["Data_PhysicalSize"].GetUint64(), farm.total_bytes);
  EXPECT_EQ(info["Pid"].GetInt(), agent_.pid());
  EXPECT_EQ(info["TaskId"].GetInt64(), 0);
  EXPECT_EQ(std::string(info["SerialNumber"].GetString()), farm.serial_number);
  EXPECT_EQ(arrival->header["stage"].GetInt(), 0);
  EXPECT_NE(arrival->header["code"].GetInt64(), 0);
  EXPECT_NE(WaitFor([](const Seen& s) { return IsStatus(s, 11); }, 1s), nullptr);

  int64_t handle = arrival->header["code"].GetInt64();
  ASSERT_EQ(sim_.Control({"unplug", udid}).status, 0);
  const Seen* departure = WaitFor([&](const Seen& s) { return IsDeparture(s, udid); });
  ASSERT_NE(departure, nullptr);
  EXPECT_EQ(departure->header["info"]["PID"].GetInt(), agent_.pid());
  EXPECT_EQ(departure->header["code"].GetInt64(), handle);
}

TEST_F(AgentDeviceTest, TaskModeReportsStageAndTaskId) {
  std::string udid = Add(devsim::DeviceSpec{});
  StartAll(1, 4242);
  const Seen* arrival = WaitFor([&](const Seen& s) { return IsArrival(s, udid); });
  ASSERT_NE(arrival, nullptr);
  EXPECT_EQ(arrival->header["stage"].GetInt(), 1);
  EXPECT_EQ(arrival->header["info"]["TaskId"].GetInt64(), 4242);
  // Status notifications are for run mode 0 only.
  EXPECT_EQ(WaitFor([](const Seen& s) { return IsStatus(s, 11); }, 300ms), nullptr);
}

TEST_F(AgentDeviceTest, UntrustedDeviceReportsError25ThenArrivesAfterTrust) {
  devsim::DeviceSpec device;
  device.untrusted = true;
  device.name = "Trusting Phone";
  std::string udid = Add(device);
  StartAll();
  ASSERT_NE(WaitFor([](const Seen& s) { return IsStatus(s, 11); }), nullptr);
  const Seen* error = WaitFor([](const Seen& s) { return IsStatus(s, 12); });
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(Info(*error), "25");
  rapidjson::Document body;
  body.Parse(error->message.body.c_str());
  ASSERT_TRUE(body.IsObject()) << error->message.body;
  EXPECT_TRUE(body.HasMember("DeviceName"));
  ASSERT_EQ(sim_.Control({"trust", udid}).status, 0);
  EXPECT_NE(WaitFor([&](const Seen& s) { return IsArrival(s, udid); }), nullptr);
}

TEST_F(AgentDeviceTest, UnplugBeforeReadySendsStatus8) {
  devsim::DeviceSpec device;
  device.untrusted = true;
  std::string udid = Add(device);
  StartAll();
  ASSERT_NE(WaitFor([](const Seen& s) { return IsStatus(s, 12); }), nullptr);
  ASSERT_EQ(sim_.Control({"unplug", udid}).status, 0);
  EXPECT_NE(WaitFor([](const Seen& s) { return IsStatus(s, 8); }), nullptr);
}

TEST_F(AgentDeviceTest, PasscodeLockedDeviceReportsError48) {
  devsim::DeviceSpec device;
  device.locked = true;
  Add(device);
  StartAll();
  const Seen* error = WaitFor([](const Seen& s) { return IsStatus(s, 12); });
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(Info(*error), "48");
}

TEST_F(AgentDeviceTest, OldIPhoneIsRefusedButOldIPadArrives) {
  devsim::DeviceSpec phone;
  phone.product_version = "4.1";
  phone.device_class = "iPhone";
  phone.seed = 3;
  Add(phone);
  devsim::DeviceSpec pad;
  pad.product_version = "4.1";
  pad.device_class = "iPad";
  pad.product_type = "iPad2,1";
  pad.seed = 4;
  std::string pad_udid = Add(pad);
  StartAll();
  const Seen* error = WaitFor([](const Seen& s) { return IsStatus(s, 12); });
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(Info(*error), "3");
  EXPECT_NE(WaitFor([&](const Seen& s) { return IsArrival(s, pad_udid); }), nullptr);
}

TEST_F(AgentDeviceTest, WifiDeviceIsIgnored) {
  devsim::DeviceSpec wifi;
  wifi.wifi = true;
  wifi.seed = 8;
  std::string wifi_udid = Add(wifi);
  devsim::DeviceSpec usb;
  usb.seed = 9;
  std::string usb_udid = Add(usb);
  StartAll();
  ASSERT_NE(WaitFor([&](const Seen& s) { return IsArrival(s, usb_udid); }), nullptr);
  WaitFor([](const Seen&) { return false; }, 1s);
  int attached = 0;
  for (const Seen& s : seen_) {
    EXPECT_FALSE(IsArrival(s, wifi_udid));
    attached += IsStatus(s, 11);
  }
  EXPECT_EQ(attached, 1);
}

TEST_F(AgentDeviceTest, NoDeviceServiceReportsStatus14) {
  setenv("VADO_DEVICE_SERVICE", "no-such-device-service-*", 1);
  StartAll();
  EXPECT_NE(WaitFor([](const Seen& s) { return IsStatus(s, 14); }, 10s), nullptr);
}

TEST_F(AgentDeviceTest, RegistryNamingMissingLibraryReportsStatus9) {
  std::string registry = (sim_.dir() / "broken.reg").string();
  std::ofstream(registry)
      << "Windows Registry Editor Version 5.00\r\n\r\n"
      << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared]\r\n"
      << "\"MobileDeviceDLL\"=\"/nonexistent/libMobileDevice.so\"\r\n";
  setenv("VADO_REGISTRY", registry.c_str(), 1);
  StartAll();
  EXPECT_NE(WaitFor([](const Seen& s) { return IsStatus(s, 9); }, 10s), nullptr);
}

}  // namespace
