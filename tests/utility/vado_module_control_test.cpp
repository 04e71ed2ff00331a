#include <gtest/gtest.h>

#include <atomic>
#include <rapidjson/document.h>

#include "client_fixture.h"
#include "common/dh_task.h"
#include "utility/ios/vado_device_monitor.h"
#include "utility/module/control/vado_module_control.h"

namespace {

void CountHook(void* context) { ++*static_cast<std::atomic<int>*>(context); }

class ControlModuleTest : public ClientFixture {
 protected:
  void SetUp() override {
    FillCommandTable(table_, client_);
    ClientFixture::SetUp();
  }
  void TearDown() override {
    VadoDeviceMonitor& monitor = VadoDeviceMonitor::GetInstance();
    std::lock_guard<std::mutex> lock(monitor.mutex());
    for (DeviceRef handle : added_) monitor.RemoveDevice(handle);
    ClientFixture::TearDown();
  }
  VadoDevicePtr AddDevice(const std::u16string& id, uintptr_t handle) {
    auto device = std::make_shared<VadoDevice>(reinterpret_cast<DeviceRef>(handle));
    device->unique_device_id = id;
    VadoDeviceMonitor& monitor = VadoDeviceMonitor::GetInstance();
    std::lock_guard<std::mutex> lock(monitor.mutex());
    monitor.AddDevice(device);
    added_.push_back(device->device);
    return device;
  }
  // Sends a cancel and returns the result's kind and code.
  std::pair<int, int64_t> Cancel600(const std::string& header, uint32_t command = 600) {
    Send(command, 1000, header);
    auto message = Next();
    EXPECT_TRUE(message);
    if (!message) return {-1, -1};
    rapidjson::Document document;
    document.Parse(message->header.c_str());
    EXPECT_EQ(message->wire_body_size, 0u);
    last_uuid_ = document["uuid"].GetString();
    return {message->kind, document["code"].GetInt64()};
  }
  std::vector<DeviceRef> added_;
  std::string last_uuid_;
};

TEST_F(ControlModuleTest, CancelsTaskInProcessWideRegistryWhenUuidEmpty) {
  TaskPtr task = BeginTask(GlobalTaskRegistry(), 5);
  std::atomic<int> hooks{0};
  task->SetCancelHook(CountHook, &hooks);
  EXPECT_EQ(Cancel600(R"({"uuid":"","code":5})"), std::make_pair(1, int64_t{0}));
  EXPECT_EQ(task->status(), kTaskCancelled);
  EXPECT_EQ(Cancel600(R"({"uuid":"","code":5})"), std::make_pair(1, int64_t{0}));
  EXPECT_EQ(hooks.load(), 1);
}

TEST_F(ControlModuleTest, CancelsTaskOfTheNamedDeviceOnly) {
  VadoDevicePtr phone = AddDevice(u"phone-A", 0xA0);
  VadoDevicePtr pad = AddDevice(u"pad-B", 0xB0);
  TaskPtr on_phone = BeginTask(phone->tasks, 8);
  TaskPtr on_pad = BeginTask(pad->tasks, 8);
  EXPECT_EQ(Cancel600(R"({"uuid":"pad-B","code":8})"), std::make_pair(1, int64_t{0}));
  EXPECT_EQ(last_uuid_, "pad-B");
  EXPECT_EQ(on_pad->status(), kTaskCancelled);
  EXPECT_EQ(on_phone->status(), 0);
}

TEST_F(ControlModuleTest, UnknownTaskIdSucceedsAndChangesNothing) {
  VadoDevicePtr phone = AddDevice(u"phone-C", 0xC0);
  TaskPtr task = BeginTask(phone->tasks, 1);
  EXPECT_EQ(Cancel600(R"({"uuid":"phone-C","code":999})"), std::make_pair(1, int64_t{0}));
  EXPECT_EQ(task->status(), 0);
}

TEST_F(ControlModuleTest, DeviceNotConnectedAnswersCode7) {
  EXPECT_EQ(Cancel600(R"({"uuid":"not-here","code":1})"), std::make_pair(6, int64_t{7}));
  EXPECT_EQ(last_uuid_, "not-here");
}

TEST_F(ControlModuleTest, HeaderThatIsNotJsonAnswersCode21WithEmptyUuid) {
  EXPECT_EQ(Cancel600(R"({"uuid":"x", broken)"), std::make_pair(6, int64_t{21}));
  EXPECT_EQ(last_uuid_, "");
}

TEST_F(ControlModuleTest, CancelledTaskEndsLaterRequestSilently) {
  VadoDevicePtr phone = AddDevice(u"phone-D", 0xD0);
  BeginTask(phone->tasks, 44);
  Cancel600(R"({"uuid":"phone-D","code":44})");
  // The request that owns task 44 starts only now: it must end without work or reply.
  EXPECT_EQ(BeginTask(phone->tasks, 44), nullptr);
}

}  // namespace
