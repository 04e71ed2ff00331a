#include "file_transfer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/json_text.h"

namespace vadoctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kDownload = 702;
constexpr uint32_t kUpload = 703;
constexpr uint32_t kCancel = 600;
// Block requests of a download sent ahead of their answers.
constexpr size_t kPullRequestsInFlight = 2;

struct PullBlock {
  int64_t id = 0;
  int64_t offset = 0;
  int64_t length = 0;
};

int64_t Int(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return 0;
  auto found = object.FindMember(key);
  return found != object.MemberEnd() && found->value.IsInt64() ? found->value.GetInt64() : 0;
}

// The device header with extra members appended ("stage", "info").
std::string StepHeader(const DeviceChoice& device, int stage, const std::string& info_json = "") {
  std::string header = DeviceHeader(device);
  header.pop_back();
  header += ",\"stage\":" + std::to_string(stage);
  if (!info_json.empty()) header += ",\"info\":" + info_json;
  header += "}";
  return header;
}

std::string BlockMessage(int64_t id, int64_t length, int64_t offset) {
  return "{\"id\":" + std::to_string(id) + ",\"offset_length\":" + std::to_string(length) +
         ",\"offset\":" + std::to_string(offset) + "}";
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool SendCancel(FrontEndLink& link, const DeviceChoice& device, uint64_t task_id) {
  std::string header = "{\"uuid\":" + JsonQuote(device.udid) + ",\"code\":" + std::to_string(task_id) + "}";
  // A task id of its own, so the cancel's answer is not taken for the transfer's.
  return link.Send(kCancel, task_id + (1ull << 40), 0, BuildRequestPayload(header, "", false));
}

bool FileTransferClient::Send(uint32_t command, uint64_t task_id, const std::string& header,
                              std::string_view body, bool raw) {
  return link_.Send(command, task_id, 0, BuildRequestPayload(header, body, raw));
}

bool FileTransferClient::Next(uint64_t task_id, AgentMessage* message, rapidjson::Document* header) {
  const auto deadline = Clock::now() + timeout_;
  while (!(stop_ != nullptr && stop_->load()) && !link_.closed() && Clock::now() < deadline) {
    auto received = link_.Receive(std::chrono::milliseconds(100));
    if (!received || received->task_id != task_id) continue;
    header->Parse(received->header.c_str());
    if (!header->IsObject()) continue;
    *message = std::move(*received);
    return true;
  }
  return false;
}

TransferOutcome FileTransferClient::Pull(uint64_t task_id, const std::string& device_path,
                                         const std::string& local_path,
                                         const TransferProgress& progress) {
  TransferOutcome outcome;
  outcome.device_path = device_path;
  std::string body = "{\"path\":" + JsonQuote(device_path) + "}";
  if (!Send(kDownload, task_id, StepHeader(device_, 1), body, false)) {
    outcome.error = "the agent link is closed";
    return outcome;
  }
  AgentMessage message;
  rapidjson::Document header;
  if (!Next(task_id, &message, &header)) {
    outcome.error = "no answer to the download request";
    return outcome;
  }
  auto info = header.FindMember("info");
  if (message.kind != 2 || info == header.MemberEnd() || !info->value.IsObject()) {
    outcome.error = "the device file cannot be read (missing or empty)";
    return outcome;
  }
  const rapidjson::Value& description = info->value;
  const int64_t size = Int(description, "size");
  auto fbs = description.FindMember("fbs");
  if (size <= 0 || fbs == description.MemberEnd() || !fbs->value.IsObject()) {
    outcome.error = "the agent sent an unusable description";
    return outcome;
  }
  std::ofstream out(local_path, std::ios::binary | std::ios::trunc);
  if (!out) {
    outcome.error = "cannot create " + local_path;
    return outcome;
  }
  bool ok = true;
  std::vector<PullBlock> blocks;
  for (auto block = fbs->value.MemberBegin(); block != fbs->value.MemberEnd(); ++block) {
    PullBlock entry{std::atoll(block->name.GetString()), Int(block->value, "offset"),
                    Int(block->value, "offset_length")};
    if (entry.offset < 0 || entry.length <= 0 || entry.offset > size ||
        entry.length > size - entry.offset) {
      outcome.error = "the agent described a block outside the file";
      ok = false;
      break;
    }
    blocks.push_back(entry);
  }
  // A few block requests stay in flight, so the agent reads the next block from the
  // device while this one crosses the link. Answers name their block.
  std::map<int64_t, PullBlock> waiting;
  size_t sent = 0;
  auto ask_next = [&]() {
    const PullBlock& block = blocks[sent++];
    waiting[block.id] = block;
    return Send(kDownload, task_id, StepHeader(device_, 2),
                BlockMessage(block.id, block.length, block.offset), false);
  };
  while (ok && sent < blocks.size() && waiting.size() < kPullRequestsInFlight) {
    if (!ask_next()) {
      outcome.error = "the agent link is closed";
      ok = false;
    }
  }
  while (ok && !waiting.empty()) {
    if (!Next(task_id, &message, &header)) {
      outcome.error = "no answer for block " + std::to_string(waiting.begin()->first);
      ok = false;
      break;
    }
    auto answered = waiting.end();
    auto info = header.FindMember("info");
    if (info != header.MemberEnd() && info->value.IsObject()) {
      answered = waiting.find(Int(info->value, "id"));
    } else if (waiting.size() == 1) {
      answered = waiting.begin();  // an answer without its block message: the only one asked
    }
    if (answered == waiting.end()) continue;
    const PullBlock block = answered->second;
    waiting.erase(answered);
    if (static_cast<int64_t>(message.body.size()) != block.length) {
      outcome.error = "block " + std::to_string(block.id) + " came back with " +
                      std::to_string(message.body.size()) + " bytes";
      ok = false;
      break;
    }
    out.seekp(block.offset);
    out.write(message.body.data(), static_cast<std::streamsize>(message.body.size()));
    if (!out) {
      outcome.error = "cannot write " + local_path;
      ok = false;
      break;
    }
    outcome.bytes += block.length;
    ++outcome.blocks;
    if (progress) progress(outcome.bytes, size);
    if (sent < blocks.size() && !ask_next()) {
      outcome.error = "the agent link is closed";
      ok = false;
    }
  }
  // Stage 3 releases the agent's reader whatever happened.
  Send(kDownload, task_id, StepHeader(device_, 3), "", false);
  if (ok && Next(task_id, &message, &header) && Int(header, "stage") != 3) {
    outcome.error = "unexpected answer to the end of the download";
    ok = false;
  }
  out.close();
  if (!ok) {
    std::error_code ignored;
    std::filesystem::remove(local_path, ignored);
    return outcome;
  }
  outcome.ok = true;
  return outcome;
}

TransferOutcome FileTransferClient::Push(uint64_t task_id, const std::string& local_path,
                                         const TransferTarget& target,
                                         const TransferProgress& progress) {
  TransferOutcome outcome;
  std::ifstream in(local_path, std::ios::binary);
  std::error_code error;
  const int64_t size = static_cast<int64_t>(std::filesystem::file_size(local_path, error));
  if (!in || error) {
    outcome.error = "cannot read " + local_path;
    return outcome;
  }
  rapidjson::StringBuffer description_text;
  {
    rapidjson::Writer<rapidjson::StringBuffer> writer(description_text);
    writer.StartObject();
    writer.Key("md5");
    writer.String("");
    writer.Key("version");
    writer.String("1");
    writer.Key("size");
    writer.Int64(size);
    writer.Key("fbs");
    writer.StartObject();
    int64_t offset = 0;
    for (int64_t id = 1; offset < size; ++id) {
      int64_t length = std::min(kTransferBlockSize, size - offset);
      std::string key = std::to_string(id);
      writer.Key(key.c_str());
      writer.StartObject();
      writer.Key("offset");
      writer.Int64(offset);
      writer.Key("offset_length");
      writer.Int64(length);
      writer.EndObject();
      offset += length;
    }
    writer.EndObject();
    writer.EndObject();
  }
  std::string info = "{\"name\":" + JsonQuote(BaseName(local_path));
  if (target.book) {
    info += ",\"media\":0}";
  } else {
    info += ",\"dir\":" + JsonQuote(target.folder) + "}";
  }
  if (!Send(kUpload, task_id, StepHeader(device_, 1, info), description_text.GetString(), false)) {
    outcome.error = "the agent link is closed";
    return outcome;
  }
  std::vector<char> buffer;
  AgentMessage message;
  rapidjson::Document header;
  while (true) {
    if (!Next(task_id, &message, &header)) {
      outcome.error = outcome.blocks == 0 ? "the device refused the upload (no block was asked for)"
                                          : "no answer after block " + std::to_string(outcome.blocks);
      return outcome;
    }
    int64_t stage = Int(header, "stage");
    auto found = header.FindMember("info");
    if (stage == 3) {
      if (message.kind == 6) {
        outcome.error = "the device did not take the finished file";
        return outcome;
      }
      if (found != header.MemberEnd() && found->value.IsString()) {
        outcome.device_path = found->value.GetString();
      }
      outcome.ok = true;
      return outcome;
    }
    if (stage != 2 || found == header.MemberEnd() || !found->value.IsObject()) continue;
    int64_t id = Int(found->value, "id");
    int64_t offset = Int(found->value, "offset");
    int64_t length = Int(found->value, "offset_length");
    if (offset < 0 || length <= 0 || offset > size || length > size - offset) {
      outcome.error = "the agent asked for a block outside the file";
      return outcome;
    }
    buffer.resize(static_cast<size_t>(length));
    in.clear();
    in.seekg(offset);
    in.read(buffer.data(), length);
    if (in.gcount() != length) {
      outcome.error = "cannot read " + local_path;
      return outcome;
    }
    if (!Send(kUpload, task_id, StepHeader(device_, 2, BlockMessage(id, length, offset)),
              std::string_view(buffer.data(), buffer.size()), true)) {
      outcome.error = "the agent link is closed";
      return outcome;
    }
    outcome.bytes += length;
    ++outcome.blocks;
    if (progress) progress(outcome.bytes, size);
  }
}

}  // namespace vadoctl
