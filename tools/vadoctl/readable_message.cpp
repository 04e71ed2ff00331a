#include "readable_message.h"

#include <cstdio>

#include <rapidjson/document.h>

namespace vadoctl {
namespace {

std::string Text(const rapidjson::Value& object, const char* key) {
  auto it = object.FindMember(key);
  return it != object.MemberEnd() && it->value.IsString() ? it->value.GetString() : "";
}

uint64_t Number(const rapidjson::Value& object, const char* key) {
  auto it = object.FindMember(key);
  return it != object.MemberEnd() && it->value.IsUint64() ? it->value.GetUint64() : 0;
}

std::string Gigabytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f GB", static_cast<double>(bytes) / 1e9);
  return text;
}

std::string StatusText(uint32_t status, const rapidjson::Document& header,
                       const std::string& body) {
  int64_t handle = header.HasMember("code") && header["code"].IsInt64() ? header["code"].GetInt64() : 0;
  std::string device = "device " + std::to_string(handle);
  switch (status) {
    case 8: return device + " was unplugged before it was ready";
    case 9: return "the device library could not be loaded (status 9)";
    case 11: return "a device was attached; pairing and reading it";
    case 14: return "no device service is running (usbmuxd or vado-devsimd) (status 14)";
    case 12: {
      rapidjson::Document details;
      details.Parse(body.c_str());
      std::string name = details.IsObject() ? Text(details, "DeviceName") : "";
      std::string error = header.HasMember("info") && header["info"].IsString() ? header["info"].GetString() : "?";
      // Before pairing the agent may not know the device's name or identifier yet.
      std::string udid = Text(header, "uuid");
      std::string who = name.empty() ? (udid.empty() ? "a device" : "device " + udid)
                                     : name + (udid.empty() ? "" : " [" + udid + "]");
      if (error == "25") {
        return who + " is waiting for trust: unlock it and answer \"Trust\" on its screen";
      }
      if (error == "48") return who + " is locked with a passcode: unlock it";
      return who + " failed with error " + error + (error == "3" ? ": firmware too old" : "");
    }
    default: return "status " + std::to_string(status) + " for " + device;
  }
}

}  // namespace

bool IsDeviceProblem(const AgentMessage& message) {
  return message.kind == 1 && message.task_id == 0 && message.command_id == 12;
}

std::optional<std::string> DescribeMessage(const AgentMessage& message) {
  rapidjson::Document header;
  header.Parse(message.header.c_str());
  if (!header.IsObject()) return std::nullopt;
  if (message.kind == 1 && message.task_id == 0) return StatusText(message.command_id, header, message.body);
  if (message.kind != 2 || message.command_id != 0 || !header.HasMember("info") ||
      !header["info"].IsObject()) {
    return std::nullopt;
  }
  const rapidjson::Value& info = header["info"];
  std::string udid = Text(header, "uuid");
  if (info.HasMember("PID")) return "device gone: " + udid;
  return "device ready: " + Text(info, "Type") + " " + Text(info, "Model") + ", iOS " +
         Text(info, "FirmVersion") + ", serial " + Text(info, "SerialNumber") + ", " +
         Gigabytes(Number(info, "Data_FreeSize")) + " free of " +
         Gigabytes(Number(info, "Data_PhysicalSize")) + "  [" + udid + "]";
}

}  // namespace vadoctl
