#include "utility/module/sync/sync_request.h"

#include "common/text_convert.h"
#include "common/zlib_codec.h"
#include "utility/ios/vado_device_monitor.h"

VadoDevicePtr FindRequestDevice(const RequestHeader& header) {
  int64_t handle = 0;
  auto code = header.json.FindMember("code");
  if (code != header.json.MemberEnd()) {
    if (code->value.IsInt64()) handle = code->value.GetInt64();
    else if (code->value.IsUint64()) handle = static_cast<int64_t>(code->value.GetUint64());
  }
  VadoDeviceMonitor& monitor = VadoDeviceMonitor::GetInstance();
  std::lock_guard<std::mutex> lock(monitor.mutex());
  VadoDevicePtr device = monitor.FindDeviceById(Utf8ToUtf16(header.uuid));
  if (!device && handle != 0) {
    device = monitor.FindDeviceByHandle(reinterpret_cast<DeviceRef>(static_cast<intptr_t>(handle)));
  }
  return device;
}

std::optional<std::string> DecompressRequestBody(const RequestHeader& header) {
  if (header.body.empty()) return std::nullopt;
  return ZlibDecompress(header.body, kMaxSyncBodyBytes);
}

std::optional<rapidjson::Document> ParseBodyObject(const RequestHeader& header) {
  std::optional<std::string> text = DecompressRequestBody(header);
  if (!text) return std::nullopt;
  rapidjson::Document doc;
  doc.Parse(text->data(), text->size());
  if (doc.HasParseError() || !doc.IsObject()) return std::nullopt;
  return doc;
}

std::optional<std::string> StringMember(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return std::nullopt;
  auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsString()) return std::nullopt;
  return std::string(it->value.GetString(), it->value.GetStringLength());
}
