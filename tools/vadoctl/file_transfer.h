// Block transfers through the agent, as a front end drives them: a download (702) asks
// for the device file's description and then for each block in turn; an upload (703)
// sends the description and then whatever block the agent asks for, until it names the
// committed device path. An upload of a file the device already holds part of (same
// name, same size) resumes: the agent asks only for the blocks still missing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "frontend_link.h"
#include "request_runner.h"

namespace vadoctl {

inline constexpr int64_t kTransferBlockSize = 2097152;

// Called after every block with the bytes moved so far and the file size.
using TransferProgress = std::function<void(int64_t done, int64_t total)>;

struct TransferTarget {
  std::string folder;  // device folder of an upload ("/Downloads"); ignored for books
  bool book = false;   // an upload into the books folder
};

struct TransferOutcome {
  bool ok = false;
  std::string error;        // why not, when !ok
  std::string device_path;  // download: the file read; upload: the committed path
  int64_t bytes = 0;        // bytes moved in this run
  int64_t blocks = 0;       // blocks moved in this run
};

class FileTransferClient {
 public:
  // `timeout` bounds every wait for one answer; `stop` (may be null) ends a transfer early.
  FileTransferClient(FrontEndLink& link, DeviceChoice device, std::chrono::milliseconds timeout,
                     const std::atomic<bool>* stop = nullptr)
      : link_(link), device_(std::move(device)), timeout_(timeout), stop_(stop) {}

  // Downloads `device_path` into the local file `local_path` under `task_id`.
  TransferOutcome Pull(uint64_t task_id, const std::string& device_path,
                       const std::string& local_path, const TransferProgress& progress = {});
  // Uploads the local file `local_path` under its own name under `task_id`.
  TransferOutcome Push(uint64_t task_id, const std::string& local_path, const TransferTarget& target,
                       const TransferProgress& progress = {});

 private:
  bool Send(uint32_t command, uint64_t task_id, const std::string& header,
            std::string_view body, bool raw);
  // The next message of `task_id`; false on timeout, a closed link or stop.
  bool Next(uint64_t task_id, AgentMessage* message, rapidjson::Document* header);

  FrontEndLink& link_;
  DeviceChoice device_;
  std::chrono::milliseconds timeout_;
  const std::atomic<bool>* stop_;
};

// Sends a cancel (600) for `task_id` about `device`.
bool SendCancel(FrontEndLink& link, const DeviceChoice& device, uint64_t task_id);

}  // namespace vadoctl
