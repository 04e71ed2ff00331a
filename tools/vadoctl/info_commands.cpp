// info: the device's identity, battery and storage figures; rename NAME.
#include <cstdio>
#include <iostream>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "common/json_text.h"
#include "device_commands.h"
#include "info_commands.h"

namespace vadoctl {
namespace {

constexpr uint32_t kInfoCommand = 300;
constexpr uint32_t kRenameCommand = 303;

std::string ValueText(const rapidjson::Value& value) {
  if (value.IsString()) return value.GetString();
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

}  // namespace

int RunInfo(DeviceSession& session, const CliOptions& options) {
  rapidjson::Document all(rapidjson::kObjectType);
  RequestOutcome result = session.Run(kInfoCommand, "", [&](const AgentMessage& message,
                                                             const rapidjson::Document&) {
    rapidjson::Document part;
    part.Parse(message.body.c_str());
    if (message.kind != 2 || !part.IsObject()) return;
    for (auto& member : part.GetObject()) {
      all.AddMember(rapidjson::Value(member.name, all.GetAllocator()),
                    rapidjson::Value(member.value, all.GetAllocator()), all.GetAllocator());
    }
  });
  if (result.answered && result.code == 0) {
    if (options.readable.value_or(false)) {
      size_t width = 0;
      for (auto& member : all.GetObject()) width = std::max<size_t>(width, member.name.GetStringLength());
      for (auto& member : all.GetObject()) {
        std::printf("%-*s  %s\n", static_cast<int>(width), member.name.GetString(),
                    ValueText(member.value).c_str());
      }
    } else {
      std::cout << ValueText(all) << std::endl;
    }
  }
  return FinishRequest("info", result);
}

int RunRename(DeviceSession& session, const CliOptions& options) {
  const std::string body = "{\"name\":" + JsonQuote(options.args[0]) + "}";
  RequestOutcome result = session.Run(kRenameCommand, body, nullptr);
  int code = FinishRequest("rename", result);
  if (code == kExitOk) std::fprintf(stderr, "vadoctl: %s is now named \"%s\"\n",
                                    session.udid().c_str(), options.args[0].c_str());
  return code;
}

}  // namespace vadoctl
