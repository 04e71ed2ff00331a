// Device information requests (15, 300, 303) against simulated devices, checked member
// by member against the farm the simulator serves.
#include <plist/plist.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "agent_fixture.h"

namespace {

using namespace std::chrono_literals;

// What the farm holds for a device, through libplist (independent of the agent's reader).
class FarmPlist {
 public:
  explicit FarmPlist(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root_);
  }
  ~FarmPlist() { plist_free(root_); }
  FarmPlist(const FarmPlist&) = delete;
  FarmPlist& operator=(const FarmPlist&) = delete;

  // A node by path of dictionary keys, or null.
  plist_t Find(std::initializer_list<const char*> keys) const {
    plist_t node = root_;
    for (const char* key : keys) {
      if (node == nullptr || plist_get_node_type(node) != PLIST_DICT) return nullptr;
      node = plist_dict_get_item(node, key);
    }
    return node;
  }
  int64_t Number(std::initializer_list<const char*> keys) const {
    plist_t node = Find(keys);
    uint64_t value = 0;
    if (node != nullptr && plist_get_node_type(node) == PLIST_UINT) plist_get_uint_val(node, &value);
    return static_cast<int64_t>(value);
  }

 private:
  plist_t root_ = nullptr;
};

struct Expected {
  const char* key;
  const char* domain;  // null: the default domain ("Root" in the farm)
};

// The identity members, in the order the agent must write them.
constexpr Expected kIdentityKeys[] = {
    {"RegionInfo", nullptr}, {"DeviceName", nullptr}, {"DeviceClass", nullptr},
    {"ProductType", nullptr}, {"ProductVersion", nullptr}, {"SerialNumber", nullptr},
    {"UniqueDeviceID", nullptr}, {"ModelNumber", nullptr}, {"BuildVersion", nullptr},
    {"HardwareModel", nullptr}, {"DeviceEnclosureColor", nullptr}, {"CPUArchitecture", nullptr},
    {"WiFiAddress", nullptr}, {"BluetoothAddress", nullptr}, {"PartitionType", nullptr},
    {"FirmwareVersion", nullptr}, {"ActivationState", nullptr},
    {"ActivationStateAcknowledged", nullptr}, {"BasebandVersion", nullptr},
    {"BasebandBootloaderVersion", nullptr}, {"BasebandChipId", nullptr},
    {"BasebandGoldCertId", nullptr}, {"IntegratedCircuitCardIdentity", nullptr},
    {"InternationalMobileEquipmentIdentity", nullptr},
    {"InternationalMobileSubscriberIdentity", nullptr}, {"MLBSerialNumber", nullptr},
    {"MobileSubscriberCountryCode", nullptr}, {"MobileSubscriberNetworkCode", nullptr},
    {"MobileEquipmentIdentifier", nullptr}, {"PasswordProtected", nullptr},
    {"PhoneNumber", nullptr}, {"ProductionSOC", nullptr}, {"ProtocolVersion", nullptr},
    {"SIMStatus", nullptr}, {"SupportedDeviceFamilies", nullptr},
    {"TimeIntervalSince1970", nullptr}, {"TimeZone", nullptr},
    {"TimeZoneOffsetFromUTC", nullptr}, {"UniqueChipID", nullptr}, {"Uses24HourClock", nullptr},
    {"BatteryIsCharging", "com.apple.mobile.battery"}, {"Keyboard", "com.apple.international"},
    {"BatteryCurrentCapacity", "com.apple.mobile.battery"},
    {"TotalDiskCapacity", "com.apple.disk_usage"}, {"TotalSystemAvailable", "com.apple.disk_usage"},
    {"TotalSystemCapacity", "com.apple.disk_usage"},
};

// Compares one member with the farm's value of the same key.
void ExpectMatches(const rapidjson::Value& member, plist_t farm, const char* key) {
  SCOPED_TRACE(key);
  switch (plist_get_node_type(farm)) {
    case PLIST_STRING: {
      char* text = nullptr;
      plist_get_string_val(farm, &text);
      ASSERT_TRUE(member.IsString());
      EXPECT_EQ(std::string(member.GetString()), text);
      free(text);
      break;
    }
    case PLIST_BOOLEAN: {
      uint8_t value = 0;
      plist_get_bool_val(farm, &value);
      ASSERT_TRUE(member.IsInt());  // 1 or 0, never true/false
      EXPECT_EQ(member.GetInt(), value ? 1 : 0);
      break;
    }
    case PLIST_UINT: {
      uint64_t value = 0;
      plist_get_uint_val(farm, &value);
      ASSERT_TRUE(member.IsInt64());
      EXPECT_EQ(member.GetInt64(), static_cast<int64_t>(value));
      break;
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(farm, &value);
      ASSERT_TRUE(member.IsInt64());
      EXPECT_EQ(member.GetInt64(), static_cast<int64_t>(std::floor(value + 0.5)));
      break;
    }
    case PLIST_ARRAY: {
      ASSERT_TRUE(member.IsArray());
      ASSERT_EQ(member.Size(), plist_array_get_size(farm));
      for (uint32_t i = 0; i < member.Size(); ++i) {
        uint64_t value = 0;
        plist_get_uint_val(plist_array_get_item(farm, i), &value);
        EXPECT_EQ(member[i].GetInt64(), static_cast<int64_t>(value));
      }
      break;
    }
    default:
      ADD_FAILURE() << "unexpected farm type";
  }
}

class BasicInfoTest : public AgentFixture {
 protected:
  // Runs command 300 and returns its two data objects.
  void RequestInfo(const std::string& udid, const std::string& named, int64_t handle, rapidjson::Document* identity,
                   rapidjson::Document* figures) {
    const uint64_t task = next_task_++;
    SendRequest(300, task, named, handle);
    const Seen* result = WaitForResult(task);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->message.kind, 1);
    EXPECT_EQ(Code(*result), 0);
    std::vector<const Seen*> data;
    for (const Seen* s : MessagesOf(task)) {
      if (s->message.kind == 2) data.push_back(s);
    }
    ASSERT_EQ(data.size(), 2u);
    for (const Seen* s : data) {
      EXPECT_EQ(s->message.command_id, 300u);
      EXPECT_EQ(std::string(s->header["uuid"].GetString()), udid);
      EXPECT_EQ(s->header["stage"].GetInt(), 0);
    }
    identity->Parse(data[0]->message.body.c_str());
    figures->Parse(data[1]->message.body.c_str());
    ASSERT_TRUE(identity->IsObject()) << data[0]->message.body;
    ASSERT_TRUE(figures->IsObject()) << data[1]->message.body;
  }

  // Starts the simulator with `device` alone and the agent; returns the device's
  // identifier and, in `*handle`, the handle it arrived with (0 when it did not).
  std::string StartOne(const devsim::DeviceSpec& device, int64_t* handle) {
    const std::string udid = Add(device);
    StartAll();
    *handle = WaitArrival(udid);
    return udid;
  }

  std::filesystem::path DeviceDir(const std::string& udid) {
    return sim_.farm_dir() / "devices" / udid;
  }

  uint64_t next_task_ = 100;
};

TEST_F(BasicInfoTest, InfoMatchesTheFarmForPhoneAndJailbrokenTablet) {
  devsim::DeviceSpec phone;
  phone.seed = 3;
  devsim::DeviceSpec tablet;
  tablet.seed = 4;
  tablet.product_type = "iPad13,18";
  tablet.jailbroken = true;
  const std::string phone_udid = Add(phone);
  const std::string tablet_udid = Add(tablet);
  StartAll();

  for (const std::string& udid : {phone_udid, tablet_udid}) {
    SCOPED_TRACE(udid);
    const int64_t handle = WaitArrival(udid);
    ASSERT_NE(handle, 0);
    rapidjson::Document identity, figures;
    // The phone is named by its identifier, the tablet by its handle alone.
    RequestInfo(udid, udid == phone_udid ? udid : "", handle, &identity, &figures);
    if (HasFatalFailure()) return;

    FarmPlist values(DeviceDir(udid) / "values.plist");
    auto member = identity.MemberBegin();
    for (const Expected& expected : kIdentityKeys) {
      plist_t farm = expected.domain ? values.Find({"Domains", expected.domain, expected.key})
                                     : values.Find({"Root", expected.key});
      // Two values the device computes when asked: its lock state and its clock.
      if (std::string(expected.key) == "PasswordProtected") {
        ASSERT_NE(member, identity.MemberEnd());
        EXPECT_STREQ(member->name.GetString(), "PasswordProtected");
        EXPECT_EQ(member->value.GetInt(), 0);  // an unlocked device
        ++member;
        continue;
      }
      if (std::string(expected.key) == "TimeIntervalSince1970") {
        ASSERT_NE(member, identity.MemberEnd());
        EXPECT_STREQ(member->name.GetString(), "TimeIntervalSince1970");
        EXPECT_NEAR(static_cast<double>(member->value.GetInt64()),
                    static_cast<double>(std::time(nullptr)), 120.0);
        ++member;
        continue;
      }
      if (farm == nullptr) {
        EXPECT_FALSE(identity.HasMember(expected.key)) << expected.key;
        continue;
      }
      ASSERT_NE(member, identity.MemberEnd()) << expected.key;
      EXPECT_STREQ(member->name.GetString(), expected.key);
      ExpectMatches(member->value, farm, expected.key);
      ++member;
    }
    ASSERT_NE(member, identity.MemberEnd());
    EXPECT_STREQ(member->name.GetString(), "IsJailbreak");
    EXPECT_EQ(member->value.GetInt(), udid == tablet_udid ? 1 : 0);
    // No SIM in the tablet: no phone members at all, not empty ones.
    EXPECT_EQ(identity.HasMember("PhoneNumber"), udid == phone_udid);

    FarmPlist battery(DeviceDir(udid) / "battery.plist");
    ASSERT_TRUE(figures.HasMember("CycleCount"));
    EXPECT_EQ(figures["CycleCount"].GetInt64(), battery.Number({"CycleCount"}));

    FarmPlist atc(DeviceDir(udid) / "atc.plist");
    int64_t total = atc.Number({"AssetMetrics", "_PhysicalSize"});
    int64_t free_size = atc.Number({"AssetMetrics", "_FreeSize"});
    EXPECT_EQ(figures["Data_PhysicalSize"].GetInt64(), total);
    EXPECT_EQ(figures["Data_FreeSize"].GetInt64(), free_size);
    int64_t others = total - free_size;
    for (const char* category :
         {"Application", "Photo", "CameraRoll", "Movie", "Book", "Music", "Ringtone"}) {
      SCOPED_TRACE(category);
      const std::string size_key = std::string(category) + "_PhysicalSize";
      const std::string count_key = std::string(category) + "_Count";
      EXPECT_EQ(figures[size_key.c_str()].GetInt64(),
                atc.Number({"AssetMetrics", category, "_PhysicalSize"}));
      EXPECT_EQ(figures[count_key.c_str()].GetInt64(),
                atc.Number({"AssetMetrics", category, "_Count"}));
      others -= figures[size_key.c_str()].GetInt64();
    }
    EXPECT_EQ(figures["Data_Others_PhysicalSize"].GetInt64(), others);
    // UserData holds its VoiceMemo subcategory; both are further categories.
    const int64_t memo_size = atc.Number({"AssetMetrics", "UserData", "VoiceMemo", "_PhysicalSize"});
    ASSERT_TRUE(figures.HasMember("VoiceMemo_PhysicalSize"));
    EXPECT_EQ(figures["VoiceMemo_PhysicalSize"].GetInt64(), memo_size);
    EXPECT_EQ(figures["UserData_PhysicalSize"].GetInt64(),
              atc.Number({"AssetMetrics", "UserData", "_PhysicalSize"}) + memo_size);
  }
}

TEST_F(BasicInfoTest, PingOnlyAirTrafficGivesZeroStorage) {
  devsim::DeviceSpec device;
  device.seed = 5;
  device.atc_answer = "Ping";
  int64_t handle = 0;
  const std::string udid = StartOne(device, &handle);
  ASSERT_NE(handle, 0);
  rapidjson::Document identity, figures;
  RequestInfo(udid, udid, handle, &identity, &figures);
  if (HasFatalFailure()) return;
  int members = 0;
  for (auto& member : figures.GetObject()) {
    if (std::string(member.name.GetString()) == "CycleCount") continue;
    EXPECT_EQ(member.value.GetInt64(), 0) << member.name.GetString();
    ++members;
  }
  EXPECT_EQ(members, 17);  // the fixed members only
  EXPECT_TRUE(figures.HasMember("Data_Others_PhysicalSize"));
}

TEST_F(BasicInfoTest, WithoutTheStorageServiceNoStorageMembersAreSent) {
  devsim::DeviceSpec device;
  device.seed = 6;
  int64_t handle = 0;
  const std::string udid = StartOne(device, &handle);
  ASSERT_NE(handle, 0);
  ASSERT_EQ(sim_.Control({"fault", udid, "refuse-service", "1", "com.apple.atc"}).status, 0);
  rapidjson::Document identity, figures;
  RequestInfo(udid, udid, handle, &identity, &figures);
  if (HasFatalFailure()) return;
  for (auto& member : figures.GetObject()) {
    const std::string name = member.name.GetString();
    EXPECT_EQ(name.find("_PhysicalSize"), std::string::npos) << name;
    EXPECT_EQ(name.find("_Count"), std::string::npos) << name;
    EXPECT_EQ(name.find("_FreeSize"), std::string::npos) << name;
  }
}

TEST_F(BasicInfoTest, RenameSetsTheNameThatOtherClientsSee) {
  devsim::DeviceSpec device;
  device.seed = 6;
  int64_t handle = 0;
  const std::string udid = StartOne(device, &handle);
  ASSERT_NE(handle, 0);

  const std::string name = "Büro \"Telefon\" 2";
  SendRequest(303, 1, udid, handle, "{\"name\":\"B\\u00fcro \\\"Telefon\\\" 2\"}");
  const Seen* result = WaitForResult(1);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  devsim::testing::ToolResult info = sim_.Run({"ideviceinfo", "-u", udid, "-k", "DeviceName"});
  EXPECT_EQ(info.out, name + "\n");

  // A body that is not JSON, or names no text, changes nothing.
  SendRequest(303, 2, udid, handle, "not json");
  SendRequest(303, 3, udid, handle, "{\"name\":7}");
  for (uint64_t task : {2, 3}) {
    result = WaitForResult(task);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(Code(*result), 8);
    EXPECT_EQ(result->message.kind, 6);
  }
  info = sim_.Run({"ideviceinfo", "-u", udid, "-k", "DeviceName"});
  EXPECT_EQ(info.out, name + "\n");
}

// Values are read a domain at a time; a value that a whole-domain answer leaves out is
// still asked for by name, in the default domain and in a named one.
TEST_F(BasicInfoTest, ValuesMissingFromWholeDomainAnswersAreAskedForByName) {
  devsim::DeviceSpec device;
  device.seed = 8;
  int64_t handle = 0;
  const std::string udid = StartOne(device, &handle);
  ASSERT_NE(handle, 0);
  for (const char* key : {"SerialNumber", "UniqueChipID", "BatteryCurrentCapacity",
                          "TotalDiskCapacity"}) {
    ASSERT_EQ(sim_.Control({"fault", udid, "domain-omit", "1", key}).status, 0);
  }
  rapidjson::Document identity, figures;
  RequestInfo(udid, udid, handle, &identity, &figures);
  if (HasFatalFailure()) return;
  FarmPlist values(DeviceDir(udid) / "values.plist");
  ExpectMatches(identity["SerialNumber"], values.Find({"Root", "SerialNumber"}), "SerialNumber");
  ExpectMatches(identity["UniqueChipID"], values.Find({"Root", "UniqueChipID"}), "UniqueChipID");
  ExpectMatches(identity["BatteryCurrentCapacity"],
                values.Find({"Domains", "com.apple.mobile.battery", "BatteryCurrentCapacity"}),
                "BatteryCurrentCapacity");
  ExpectMatches(identity["TotalDiskCapacity"],
                values.Find({"Domains", "com.apple.disk_usage", "TotalDiskCapacity"}),
                "TotalDiskCapacity");
  // The members keep their order whichever way a value was read.
  std::vector<std::string> names;
  for (auto m = identity.MemberBegin(); m != identity.MemberEnd(); ++m) {
    names.push_back(m->name.GetString());
  }
  ASSERT_GE(names.size(), 7u);
  EXPECT_EQ(names[0], "RegionInfo");
  EXPECT_EQ(names[5], "SerialNumber");
  EXPECT_EQ(names.back(), "IsJailbreak");
}

TEST_F(BasicInfoTest, RequestsOutsideTheirShapeDoNothing) {
  devsim::DeviceSpec device;
  device.seed = 7;
  int64_t handle = 0;
  const std::string udid = StartOne(device, &handle);
  ASSERT_NE(handle, 0);

  // Two sections: success without data, and no rename.
  SendRequest(300, 1, udid, handle, "", 2);
  SendRequest(303, 2, udid, handle, "{\"name\":\"Other\"}", 2);
  // An unknown device, and a header that is not JSON.
  SendRequest(300, 3, "0000-not-a-device", 12345);
  ASSERT_TRUE(link_.Send(300, 4, 0, std::string("1\0{oops\0", 8)));
  // A device that is ready already is left as it is.
  SendRequest(15, 5, udid, handle);

  const std::map<uint64_t, int64_t> expected = {{1, 0}, {2, 0}, {3, 7}, {4, 21}, {5, 0}};
  for (const auto& [task, code] : expected) {
    const Seen* result = WaitForResult(task);
    ASSERT_NE(result, nullptr) << task;
    EXPECT_EQ(Code(*result), code) << task;
    EXPECT_EQ(MessagesOf(task).size(), 1u) << task;
  }
  devsim::testing::ToolResult info = sim_.Run({"ideviceinfo", "-u", udid, "-k", "DeviceName"});
  EXPECT_NE(info.out, "Other\n");
}

}  // namespace

namespace {

// vadoctl as a person runs it against a device service that is already there.
TEST(VadoctlInfoTest, InfoPrintsOneObjectAndRenameReachesTheDevice) {
  devsim::testing::SimHarness sim;
  devsim::DeviceSpec first;
  first.seed = 8;
  devsim::DeviceSpec second;
  second.seed = 9;
  sim.AddDevice(first);
  const std::string udid = sim.AddDevice(second);
  ASSERT_TRUE(sim.Start());

  devsim::testing::ToolResult info =
      sim.Run({VADO_VADOCTL_PATH, "--no-simulator", "--udid", udid, "info", "--json"}, 50);
  ASSERT_EQ(info.status, 0) << info.err;
  rapidjson::Document object;
  object.Parse(info.out.c_str());
  ASSERT_TRUE(object.IsObject()) << info.out;
  EXPECT_EQ(std::string(object["UniqueDeviceID"].GetString()), udid);
  EXPECT_TRUE(object.HasMember("CycleCount"));
  EXPECT_TRUE(object.HasMember("Data_Others_PhysicalSize"));

  devsim::testing::ToolResult rename =
      sim.Run({VADO_VADOCTL_PATH, "--no-simulator", "--udid", udid, "rename", "Kitchen"}, 50);
  ASSERT_EQ(rename.status, 0) << rename.err;
  EXPECT_EQ(sim.Run({"ideviceinfo", "-u", udid, "-k", "DeviceName"}).out, "Kitchen\n");

  devsim::testing::ToolResult usage = sim.Run({VADO_VADOCTL_PATH, "rename"});
  EXPECT_EQ(usage.status, 2);
}

}  // namespace
