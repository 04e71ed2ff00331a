#include "utility/module/basicinfo/device_info_values.h"

#include <glog/logging.h>

#include <string>
#include <vector>

#include "common/cf_value_convert.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/device_values.h"
#include "utility/ios/vado_device_service.h"

namespace {

enum class Kind { kText, kNumber, kBoolean, kFamilies };

struct ValueSpec {
  const char* key;
  Kind kind;
  const char* domain;  // null: the default domain
};

// The members, in the order the front end expects them.
constexpr ValueSpec kValues[] = {
    {"RegionInfo", Kind::kText, nullptr},
    {"DeviceName", Kind::kText, nullptr},
    {"DeviceClass", Kind::kText, nullptr},
    {"ProductType", Kind::kText, nullptr},
    {"ProductVersion", Kind::kText, nullptr},
    {"SerialNumber", Kind::kText, nullptr},
    {"UniqueDeviceID", Kind::kText, nullptr},
    {"ModelNumber", Kind::kText, nullptr},
    {"BuildVersion", Kind::kText, nullptr},
    {"HardwareModel", Kind::kText, nullptr},
    {"DeviceEnclosureColor", Kind::kText, nullptr},
    {"CPUArchitecture", Kind::kText, nullptr},
    {"WiFiAddress", Kind::kText, nullptr},
    {"BluetoothAddress", Kind::kText, nullptr},
    {"PartitionType", Kind::kText, nullptr},
    {"FirmwareVersion", Kind::kText, nullptr},
    {"ActivationState", Kind::kText, nullptr},
    {"ActivationStateAcknowledged", Kind::kBoolean, nullptr},
    {"BasebandVersion", Kind::kText, nullptr},
    {"BasebandBootloaderVersion", Kind::kText, nullptr},
    {"BasebandChipId", Kind::kNumber, nullptr},
    {"BasebandGoldCertId", Kind::kNumber, nullptr},
    {"IntegratedCircuitCardIdentity", Kind::kText, nullptr},
    {"InternationalMobileEquipmentIdentity", Kind::kText, nullptr},
    {"InternationalMobileSubscriberIdentity", Kind::kText, nullptr},
    {"MLBSerialNumber", Kind::kText, nullptr},
    {"MobileSubscriberCountryCode", Kind::kText, nullptr},
    {"MobileSubscriberNetworkCode", Kind::kText, nullptr},
    {"MobileEquipmentIdentifier", Kind::kText, nullptr},
    {"PasswordProtected", Kind::kBoolean, nullptr},
    {"PhoneNumber", Kind::kText, nullptr},
    {"ProductionSOC", Kind::kBoolean, nullptr},
    {"ProtocolVersion", Kind::kText, nullptr},
    {"SIMStatus", Kind::kText, nullptr},
    {"SupportedDeviceFamilies", Kind::kFamilies, nullptr},
    {"TimeIntervalSince1970", Kind::kNumber, nullptr},
    {"TimeZone", Kind::kText, nullptr},
    {"TimeZoneOffsetFromUTC", Kind::kNumber, nullptr},
    {"UniqueChipID", Kind::kNumber, nullptr},
    {"Uses24HourClock", Kind::kBoolean, nullptr},
    {"BatteryIsCharging", Kind::kBoolean, "com.apple.mobile.battery"},
    {"Keyboard", Kind::kText, "com.apple.international"},
    {"BatteryCurrentCapacity", Kind::kNumber, "com.apple.mobile.battery"},
    {"TotalDiskCapacity", Kind::kNumber, "com.apple.disk_usage"},
    {"TotalSystemAvailable", Kind::kNumber, "com.apple.disk_usage"},
    {"TotalSystemCapacity", Kind::kNumber, "com.apple.disk_usage"},
};

constexpr const char* kJailbreakFolder = "/var/root/Media/Cydia/AutoInstall";


// A value of the wanted CF type, or nothing.
bool ReadText(DeviceValueReader& values, const ValueSpec& spec, std::string* text) {
  CFTypeRef raw = values.Find(spec.domain, spec.key);
  if (raw == nullptr || Fun().CFGetTypeID(raw) != kCFTypeIdString) return false;
  *text = CFStringToUtf8(static_cast<CFStringRef>(raw));
  return true;
}

bool ReadBoolean(DeviceValueReader& values, const ValueSpec& spec, bool* value) {
  CFTypeRef raw = values.Find(spec.domain, spec.key);
  if (raw == nullptr || Fun().CFGetTypeID(raw) != kCFTypeIdBoolean) return false;
  *value = Fun().CFBooleanGetValue(static_cast<CFBooleanRef>(raw));
  return true;
}

rapidjson::Value Key(const char* key) { return rapidjson::Value(rapidjson::StringRef(key)); }

}  // namespace

void AppendDeviceValues(VadoDevice& device, rapidjson::Value* object,
                        rapidjson::Document::AllocatorType& allocator) {
  // Four domains, so four exchanges rather than one per value.
  DeviceValueReader values(device.device);
  for (const ValueSpec& spec : kValues) {
    switch (spec.kind) {
      case Kind::kText: {
        std::string text;
        if (!ReadText(values, spec, &text)) break;
        const std::string key = spec.key;
        if (key == "ProductType" || key == "ProductVersion" || key == "ModelNumber") {
          LOG(INFO) << key << ": " << text;
        }
        object->AddMember(Key(spec.key),
                          rapidjson::Value(text.c_str(),
                                           static_cast<rapidjson::SizeType>(text.size()),
                                           allocator),
                          allocator);
        break;
      }
      case Kind::kNumber: {
        int64_t number = 0;
        if (ValueToInt64(values.Find(spec.domain, spec.key), &number)) {
          object->AddMember(Key(spec.key), rapidjson::Value(number), allocator);
        }
        break;
      }
      case Kind::kBoolean: {
        bool value = false;
        if (ReadBoolean(values, spec, &value)) {
          object->AddMember(Key(spec.key), rapidjson::Value(value ? 1 : 0), allocator);
        }
        break;
      }
      case Kind::kFamilies: {
        std::vector<int64_t> families;
        if (!ValueToFamilies(values.Find(spec.domain, spec.key), &families)) break;
        rapidjson::Value list(rapidjson::kArrayType);
        for (int64_t family : families) list.PushBack(rapidjson::Value(family), allocator);
        object->AddMember(Key(spec.key), list, allocator);
        break;
      }
    }
  }
}

bool IsJailbroken(VadoDevice& device) {
  int32_t error = 0;
  ServicePtr afc2 = GetService(device.device, &error, "com.apple.afc2", nullptr, true);
  if (!afc2) return false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    AFCDirectoryRef folder = nullptr;
    if (Fun().AFCDirectoryOpen(afc2->afc(), kJailbreakFolder, &folder) == 0 && folder != nullptr) {
      Fun().AFCDirectoryClose(afc2->afc(), folder);
      return true;
    }
  }
  return false;
}
