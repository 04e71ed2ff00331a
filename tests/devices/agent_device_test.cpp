#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <deque>
#include <functional>

#include <rapidjson/document.h>

#include "agent_process.h"
#include "farm_values.h"
#include "frontend_link.h"
#include "sim_harness.h"

namespace {

using namespace std::chrono_literals;
using vadoctl::AgentMessage;

struct Seen {
  AgentMessage message;
  rapidjson::Document header;
};

class AgentDeviceTest : public ::testing::Test {
 protected:
  // Starts the simulator (when it has devices) and the agent pointed at it.
  void StartAll(int run_mode = 0, int64_t task_id = 0) {
    if (sim_started_) {
      ASSERT_TRUE(sim_.Start());
      sim_.ExportSocket();
    }
    setenv("TMPDIR", sim_.dir().c_str(), 1);
    ASSERT_GT(link_.Listen(), 0);
    vadoctl::AgentLaunch launch;
    launch.executable = VADO_AGENT_PATH;
    launch.gui_port = link_.port();
    launch.console = false;
    launch.run_mode = run_mode;
    launch.task_id = task_id;
    std::string error;
    ASSERT_TRUE(agent_.Start(launch, &error)) << error;
    ASSERT_TRUE(link_.Accept(10s));
  }
  std::string Add(devsim::DeviceSpec device) {
    sim_started_ = true;
    return sim_.AddDevice(device);
  }
  // The first message (within `wait`) that `match` accepts; every message seen is kept.
  const Seen* WaitFor(const std::function<bool(const Seen&)>& match,
                      std::chrono::milliseconds wait = 15s) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (const Seen& seen : seen_) {
      if (match(seen)) return &seen;
    }
    while (std::chrono::steady_clock::now() < deadline) {
      auto message = link_.Receive(100ms);
      if (!message) continue;
      Seen seen;
      seen.message = *message;
      seen.header.Parse(message->header.c_str());
      seen_.push_back(std::move(seen));
      if (match(seen_.back())) return &seen_.back();
    }
    return nullptr;
  }
  static bool IsStatus(const Seen& s, uint32_t status) {
    return s.message.kind == 1 && s.message.task_id == 0 && s.message.command_id == status;
  }
  static bool IsArrival(const Seen& s, const std::string& udid) {
    return s.message.kind == 2 && s.message.command_id == 0 && s.header.IsObject() &&
           s.header["uuid"].GetString() == udid && s.header.HasMember("info") &&
           s.header["info"].IsObject() && s.header["info"].HasMember("Model");
  }
  static bool IsDeparture(const Seen& s, const std::string& udid) {
    return s.message.kind == 2 && s.message.command_id == 0 && s.header.IsObject() &&
           s.header["uuid"].GetString() == udid && s.header.HasMember("info") &&
           s.header["info"].IsObject() && s.header["info"].HasMember("PID");
  }
  static std::string Info(const Seen& s) {
    return s.header.HasMember("info") && s.header["info"].IsString() ? s.header["info"].GetString() : "";
  }

  std::deque<Seen> seen_;  // stable addresses
  devsim::testing::SimHarness sim_;
  bool sim_started_ = false;
  vadoctl::FrontEndLink link_;
  vadoctl::AgentProcess agent_;
};

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
