#include "book_commands.h"

#include <cstdio>
#include <filesystem>
#include <iostream>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "device_commands.h"

namespace vadoctl {
namespace {

constexpr uint32_t kAddBookCommand = 1012;
constexpr uint32_t kRemoveBookCommand = 1013;

// {"path": path[, "remote": false]}
std::string BookBody(const std::string& path, bool with_remote) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("path");
  writer.String(path.data(), static_cast<rapidjson::SizeType>(path.size()));
  if (with_remote) {
    writer.Key("remote");
    writer.Bool(false);
  }
  writer.EndObject();
  return buffer.GetString();
}

// The device path the agent gave the added book ("info": {"path": ...}).
std::string AddedPath(const std::string& header_json) {
  rapidjson::Document header;
  header.Parse(header_json.c_str());
  if (!header.IsObject() || !header.HasMember("info") || !header["info"].IsObject()) return "";
  const rapidjson::Value& info = header["info"];
  return info.HasMember("path") && info["path"].IsString() ? info["path"].GetString() : "";
}

}  // namespace

int RunBooksCommand(DeviceSession& session, const CliOptions& options) {
  const std::string& action = options.args[0];
  const auto ignore = [](const AgentMessage&, const rapidjson::Document&) {};
  if (action == "add") {
    // The agent reads the file itself, so it gets an absolute path.
    std::error_code error;
    const std::filesystem::path local = std::filesystem::absolute(options.args[1], error);
    const RequestOutcome outcome = session.Run(
        kAddBookCommand, BookBody(error ? options.args[1] : local.string(), true), ignore);
    const int code = FinishRequest("books add", outcome);
    if (code == kExitOk) std::cout << "added " << AddedPath(outcome.header) << "\n";
    return code;
  }
  if (action == "remove") {
    const RequestOutcome outcome =
        session.Run(kRemoveBookCommand, BookBody(options.args[1], false), ignore);
    const int code = FinishRequest("books remove", outcome);
    if (code == kExitOk) std::cout << "removed " << options.args[1] << "\n";
    return code;
  }
  std::fprintf(stderr, "vadoctl: books: unknown action %s (add FILE | remove DEVICE_PATH)\n",
               action.c_str());
  return kExitUsage;
}

}  // namespace vadoctl
