#include "utility/module/basicinfo/device_figures.h"

#include <cstring>
#include <string>

#include "common/afc_file_ops.h"
#include "common/binary_plist.h"
#include "common/plist_message.h"
#include "common/plist_reader.h"
#include "iOSAPI/MobileExportFun.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/basicinfo/storage_metrics.h"

namespace {

constexpr const char* kDiagnosticsService = "com.apple.mobile.diagnostics_relay";
constexpr const char* kAirTrafficService = "com.apple.atc";

constexpr char kBatteryRequest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\"><dict>"
    "<key>EntryClass</key><string>IOPMPowerSource</string>"
    "<key>Request</key><string>IORegistry</string>"
    "</dict></plist>\n";

constexpr char kStorageRequest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\"><dict>"
    "<key>Command</key><string>PowerAssertion</string>"
    "<key>Params</key><dict><key>Enabled</key><true/></dict>"
    "<key>Session</key><integer>0</integer>"
    "</dict></plist>\n";


// The top dictionary of a received property list, or null.
const CIOSDictionary* TopDictionary(const PlistValue& parsed) {
  if (parsed.tag() != kPlistArray || parsed.array().empty()) return nullptr;
  const PlistValue& top = parsed.array()[0];
  return top.tag() == kPlistDictionary ? top.dictionary() : nullptr;
}

const CIOSDictionary* ChildDictionary(const CIOSDictionary* parent, const char* key) {
  if (parent == nullptr) return nullptr;
  const PlistValue* child = parent->Find(key);
  return child != nullptr && child->tag() == kPlistDictionary ? child->dictionary() : nullptr;
}

struct BatteryReply {
  bool found = false;
  int64_t cycle_count = 0;
};

void OnBatteryReply(void* context, const char* bytes, uint32_t length, int* read_another,
                    uint32_t* result) {
  *read_another = 0;
  *result = 0;
  PlistValue parsed;
  if (!PlistBytesToValue(bytes, length, &parsed)) return;
  const CIOSDictionary* registry =
      ChildDictionary(ChildDictionary(TopDictionary(parsed), "Diagnostics"), "IORegistry");
  const PlistValue* count = registry ? registry->Find("CycleCount") : nullptr;
  if (count == nullptr) return;
  auto* reply = static_cast<BatteryReply*>(context);
  if (count->tag() == kPlistInt64) reply->cycle_count = count->int64();
  else if (count->tag() == kPlistInt32) reply->cycle_count = count->int32();
  else return;
  reply->found = true;
}

uint32_t LittleEndian32(const uint8_t* b) {
  return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

bool SendLittleEndianFramed(AMDServiceConnectionRef connection, const BinaryPlist& message) {
  const uint32_t n = message.length;
  const uint8_t header[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                             static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
  return SendServiceBytes(connection, header, sizeof header) &&
         SendServiceBytes(connection, message.bytes, message.length);
}

// Reads AirTraffic messages until "AssetMetrics" (parsed into `metrics`), "Ping" or
// "IdleExit", an empty or oversized message, or the end of the connection.
void ReadAssetMetrics(AMDServiceConnectionRef connection, StorageMetrics* metrics) {
  uint8_t* buffer = TransferBuffer();
  for (;;) {
    uint8_t header[4];
    if (!ReceiveServiceBytes(connection, header, sizeof header)) return;
    const uint32_t length = LittleEndian32(header);
    if (length == 0 || length > kAfcTransferChunk) return;
    if (!ReceiveServiceBytes(connection, buffer, length)) return;
    const std::string command = PlistFirstValueText(buffer, length);
    if (command == "IdleExit" || command == "Ping") return;
    if (command != "AssetMetrics") continue;
    PlistValue parsed;
    if (PlistBytesToValue(buffer, length, &parsed)) {
      if (const CIOSDictionary* params = ChildDictionary(TopDictionary(parsed), "Params")) {
        *metrics = ParseAssetMetrics(*params);
      }
    }
    return;
  }
}

}  // namespace

void AppendCycleCount(VadoDevice& device, rapidjson::Value* object,
                      rapidjson::Document::AllocatorType& allocator) {
  int32_t error = 0;
  ServicePtr service = GetService(device.device, &error, kDiagnosticsService, nullptr, false,
                                  ServiceStartRetry::kRenewOnce);
  if (!service) return;
  AMDServiceConnectionRef connection = service->connection();
  BatteryReply reply;
  BinaryPlistPtr request = XmlToBinaryPlist(kBatteryRequest, std::strlen(kBatteryRequest));
  if (request) ExchangePlistMessages(connection, request.get(), OnBatteryReply, &reply);
  service.reset();
  if (reply.found) object->AddMember("CycleCount", rapidjson::Value(reply.cycle_count), allocator);
}

void AppendStorage(VadoDevice& device, rapidjson::Value* object,
                   rapidjson::Document::AllocatorType& allocator) {
  StorageMetrics metrics;
  int32_t error = 0;
  ServicePtr service = GetService(device.device, &error, kAirTrafficService, nullptr, false,
                                  ServiceStartRetry::kRenewOnce);
  // Without the service there are no figures: zeros would read as an empty disk.
  if (!service) return;
  AMDServiceConnectionRef connection = service->connection();
  BinaryPlistPtr request = XmlToBinaryPlist(kStorageRequest, std::strlen(kStorageRequest));
  if (request && SendLittleEndianFramed(connection, *request)) {
    ReadAssetMetrics(connection, &metrics);
  }
  service.reset();
  AppendStorageMembers(metrics, object, allocator);
}
