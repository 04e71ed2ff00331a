// The agent under concurrent load: cancels served while every worker is busy, installs
// stopped by a cancel, arrivals readied in parallel and never twice, and the device's
// identity on its error reports.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <rapidjson/document.h>

#include "agent_fixture.h"
#include "ipa_builder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kCancel = 600, kReady = 15, kInfo = 300, kList = 501, kInstall = 504;

class AgentConcurrencyTest : public AgentFixture {
 protected:
  std::string Header(const std::string& udid, int64_t handle) const {
    return "{\"uuid\":\"" + udid + "\",\"code\":" + std::to_string(handle) + "}";
  }
  int CountArrivals(const std::string& udid) const {
    int n = 0;
    for (const Seen& s : seen_) n += IsArrival(s, udid);
    return n;
  }
};

TEST_F(AgentConcurrencyTest, CancelIsAnsweredWhileEveryWorkerIsBusy) {
  devsim::DeviceSpec slow;
  slow.apps = 300;
  slow.seed = 61;
  std::string udid = Add(slow);
  StartAll();
  int64_t handle = WaitArrival(udid);
  ASSERT_NE(handle, 0);
  // Listings on a device whose services trickle keep all workers busy for many seconds.
  ASSERT_EQ(sim_.Control({"fault", udid, "cap-bandwidth", "20000"}).status, 0);
  for (uint64_t task = 100; task < 112; ++task) SendWithHeader(kList, task, Header(udid, handle));
  WaitFor([](const Seen&) { return false; }, 500ms);
  auto start = Clock::now();
  SendRequest(kCancel, 900, "", 4242);
  const Seen* answer = WaitForResult(900, nullptr, 5s);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->message.kind, 1);
  EXPECT_LT(Clock::now() - start, 1s);
  // The listings are still running: the cancel did not wait for a worker.
  EXPECT_EQ(WaitForResult(111, nullptr, 10ms), nullptr);
  ASSERT_EQ(sim_.Control({"unplug", udid}).status, 0);
}

TEST_F(AgentConcurrencyTest, CancelDuringManyPackageInstallAnswers6WithinTwoSeconds) {
  devsim::DeviceSpec device;
  device.seed = 62;
  std::string udid = Add(device);
  StartAll();
  int64_t handle = WaitArrival(udid);
  ASSERT_NE(handle, 0);
  fs::path ipa = sim_.dir() / "many.ipa";
  ASSERT_TRUE(devsim::testing::WriteZip(
      ipa, devsim::testing::PackageMembers("com.example.many", "Many", "1")));
  std::string body = "[";
  for (int i = 0; i < 300; ++i) body += (i ? ",\"" : "\"") + ipa.string() + "\"";
  body += "]";
  constexpr uint64_t kTask = 70;
  SendWithHeader(kInstall, kTask, Header(udid, handle), body);
  // Once the first package is through, the install is under way.
  ASSERT_NE(WaitFor([&](const Seen& s) {
              return s.message.task_id == kTask && s.message.kind == 7;
            }, 20s),
            nullptr);
  auto start = Clock::now();
  SendRequest(kCancel, 901, udid, static_cast<int64_t>(kTask));
  const Seen* result = WaitForResult(kTask, nullptr, 5s);
  ASSERT_NE(result, nullptr);
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(result->message.kind, 5);
  EXPECT_EQ(Code(*result), 6);
  const Seen* cancel = WaitForResult(901, nullptr, 2s);
  ASSERT_NE(cancel, nullptr);
  EXPECT_EQ(Code(*cancel), 0);
  int finals = 0;
  for (const Seen* s : MessagesOf(kTask)) finals += s->message.kind == 7 || s->message.kind == 6;
  EXPECT_LT(finals, 300);
}

TEST_F(AgentConcurrencyTest, DeviceStalledInServiceStartDoesNotDelayAnother) {
  devsim::DeviceSpec a, b;
  a.seed = 66;
  b.seed = 67;
  std::string stalled = Add(a);
  std::string healthy = Add(b);
  StartAll();
  int64_t stalled_handle = WaitArrival(stalled);
  int64_t healthy_handle = WaitArrival(healthy);
  ASSERT_NE(stalled_handle, 0);
  ASSERT_NE(healthy_handle, 0);
  ASSERT_EQ(sim_.Control({"fault", stalled, "lockdown-stall", "0", "StartService 5"}).status, 0);
  SendWithHeader(kInfo, 300, Header(stalled, stalled_handle));
  WaitFor([](const Seen&) { return false; }, 300ms);
  auto start = Clock::now();
  SendWithHeader(kInfo, 301, Header(healthy, healthy_handle));
  const Seen* answer = WaitForResult(301, nullptr, 10s);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->message.kind, 1);
  EXPECT_LT(Clock::now() - start, 1s);
  // The stalled request ends by itself once the device answers or its deadline passes.
  EXPECT_NE(WaitForResult(300, nullptr, 30s), nullptr);
}

TEST_F(AgentConcurrencyTest, ReadyRequestsBesideArrivalReportTheDeviceOnce) {
  devsim::DeviceSpec device;
  device.seed = 63;
  std::string udid = Add(device);
  StartAll();
  const Seen* attached = WaitFor([](const Seen& s) { return IsStatus(s, 11); });
  ASSERT_NE(attached, nullptr);
  int64_t handle = Code(*attached);
  // The device joins the list just after status 11; found by handle while the monitor is
  // still readying it.
  WaitFor([](const Seen&) { return false; }, 50ms);
  for (uint64_t task = 200; task < 205; ++task) SendRequest(kReady, task, udid, handle);
  for (uint64_t task = 200; task < 205; ++task) {
    const Seen* result = WaitForResult(task, nullptr, 20s);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(Code(*result), 0);
  }
  ASSERT_NE(WaitForArrival(udid), nullptr);
  WaitFor([](const Seen&) { return false; }, 500ms);
  EXPECT_EQ(CountArrivals(udid), 1);
}

TEST_F(AgentConcurrencyTest, DevicesPluggedTogetherAllArriveOnce) {
  constexpr int kDevices = 10;
  std::vector<std::string> udids;
  for (int i = 0; i < kDevices; ++i) {
    devsim::DeviceSpec device;
    device.seed = 400 + static_cast<uint64_t>(i);
    udids.push_back(Add(device));
  }
  StartAll();
  for (const std::string& udid : udids) ASSERT_NE(WaitForArrival(udid), nullptr) << udid;
  WaitFor([](const Seen&) { return false; }, 300ms);
  for (const std::string& udid : udids) EXPECT_EQ(CountArrivals(udid), 1) << udid;
}

TEST_F(AgentConcurrencyTest, UntrustedDeviceErrorNamesTheDevice) {
  devsim::DeviceSpec device;
  device.untrusted = true;
  device.name = "Needs Trust";
  device.seed = 64;
  std::string udid = Add(device);
  StartAll();
  const Seen* error = WaitFor([](const Seen& s) { return IsStatus(s, 12); });
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(Info(*error), "25");
  ASSERT_TRUE(error->header["uuid"].IsString());
  EXPECT_EQ(std::string(error->header["uuid"].GetString()), udid);
  rapidjson::Document body;
  body.Parse(error->message.body.c_str());
  ASSERT_TRUE(body.IsObject()) << error->message.body;
  ASSERT_TRUE(body["DeviceName"].IsString());
  EXPECT_EQ(std::string(body["DeviceName"].GetString()), "Needs Trust");
}

TEST_F(AgentConcurrencyTest, LockedDeviceErrorNamesTheDevice) {
  devsim::DeviceSpec device;
  device.locked = true;
  device.name = "Locked Phone";
  device.seed = 65;
  std::string udid = Add(device);
  StartAll();
  const Seen* error = WaitFor([](const Seen& s) { return IsStatus(s, 12); });
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(Info(*error), "48");
  EXPECT_EQ(std::string(error->header["uuid"].GetString()), udid);
  rapidjson::Document body;
  body.Parse(error->message.body.c_str());
  ASSERT_TRUE(body.IsObject()) << error->message.body;
  EXPECT_EQ(std::string(body["DeviceName"].GetString()), "Locked Phone");
}

}  // namespace
