// Shared pieces of the end-to-end tests: the executables under test, private temporary
// folders, child processes with captured output, and waiting with a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "agent_process.h"
#include "frontend_link.h"

namespace e2e {

using std::chrono::milliseconds;

std::string AgentPath();
std::string VadoctlPath();

// Polls `done` every 10 ms until it holds or `timeout` passes; returns its last value.
bool WaitUntil(const std::function<bool()>& done, milliseconds timeout);

// A fresh folder under the temporary folder the tests were started with; removed with
// everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadFileText(const std::string& path);
std::vector<std::string> SplitLines(const std::string& text);
// Names of the entries directly inside `folder` (empty when it does not exist).
std::vector<std::string> ListFolder(const std::string& folder);
bool IsDirectory(const std::string& path);

// A child process started with posix_spawn; standard output and error go to the given
// files (or are inherited when empty). Killed and reaped on destruction if still running.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::string& stdout_path = {},
             const std::string& stderr_path = {});
  pid_t pid() const { return pid_; }
  // The wait status once the process has ended within `timeout`; nothing otherwise.
  std::optional<int> WaitExit(milliseconds timeout);
  bool Running();
  void Signal(int signal_number);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// Starts a short-lived process and reaps it: its pid names no live process afterwards.
pid_t PidOfEndedProcess();

// Polls AgentProcess::Exited until the agent has ended or `timeout` passes.
std::optional<int> WaitAgentExit(vadoctl::AgentProcess& agent, milliseconds timeout);

// The local date as the agent names its log folder ("%Y%m%d").
std::string TodayFolderName();

// A request payload with the given header object and no body.
std::string RequestPayload(const std::string& header_json);

// Parses the header object of an agent message; fails the test when it is not a JSON object.
rapidjson::Document ParseHeader(const vadoctl::AgentMessage& message);

// The next message that is not a device-monitor status notification (kind 1, task 0):
// without devices the agent reports why monitoring could not start.
std::optional<vadoctl::AgentMessage> ReceiveReply(vadoctl::FrontEndLink& link, milliseconds timeout);

// Each test gets its own temporary folder, exported as TMPDIR so that every process the
// test starts puts its log and work folders there, and a unique application folder name.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Launch settings for the agent under test; `port` 0 means no front end.
  vadoctl::AgentLaunch Launch(int port) const;
  // Listens, starts the agent and waits for it to connect.
  void StartConnected(vadoctl::AgentLaunch launch);
  // Sends one request with the given header object and no body.
  void SendRequest(uint32_t command_id, uint64_t task_id, const std::string& header_json);

  // $TMPDIR/<appFolder>
  std::string AppRoot() const;
  // $TMPDIR/<appFolder>/<yyyymmdd>, once the agent has created it.
  std::optional<std::string> FindLogFolder() const;
  // Waits for the agent to create its log folder, which it does after installing its
  // signal handlers; returns the folder.
  std::string WaitForLogFolder(milliseconds timeout = milliseconds(5000));

  TempDir temp_;
  std::string app_folder_;
  vadoctl::FrontEndLink link_;
  vadoctl::AgentProcess agent_;

 private:
  std::optional<std::string> saved_tmpdir_;
};

}  // namespace e2e
