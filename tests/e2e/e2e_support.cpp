#include "e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {
namespace {

// The temporary folder the test program was started with, read before any test
// replaces TMPDIR with its own folder.
const std::string& BaseTempFolder() {
  static const std::string base = [] {
    const char* value = std::getenv("TMPDIR");
    return std::string(value != nullptr && *value != '\0' ? value : "/tmp");
  }();
  return base;
}
[[maybe_unused]] const std::string& g_base_at_start = BaseTempFolder();

}  // namespace

std::string AgentPath() { return VADO_E2E_AGENT_PATH; }
std::string VadoctlPath() { return VADO_E2E_VADOCTL_PATH; }

bool WaitUntil(const std::function<bool()>& done, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

TempDir::TempDir() {
  std::string pattern = BaseTempFolder() + "/vado-e2e-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  return names;
}

bool IsDirectory(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& stdout_path,
                         const std::string& stderr_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!stdout_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (!stderr_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (std::string& arg : args) raw.push_back(arg.data());
  raw.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  pid_ = pid;
  reaped_ = false;
  return true;
}

std::optional<int> ChildProcess::WaitExit(milliseconds timeout) {
  WaitUntil([this] { return !Running(); }, timeout);
  if (!reaped_) return std::nullopt;
  return status_;
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    status_ = status;
    return false;
  }
  return true;
}

void ChildProcess::Signal(int signal_number) {
  if (Running()) ::kill(pid_, signal_number);
}

pid_t PidOfEndedProcess() {
  ChildProcess process;
  if (!process.Start({"/bin/true"})) return -1;
  if (!process.WaitExit(milliseconds(5000))) return -1;
  return process.pid();
}

std::optional<int> WaitAgentExit(vadoctl::AgentProcess& agent, milliseconds timeout) {
  int status = 0;
  if (!WaitUntil([&] { return agent.Exited(&status); }, timeout)) return std::nullopt;
  return status;
}

std::string TodayFolderName() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof(date), "%Y%m%d", &local);
  return date;
}

std::string RequestPayload(const std::string& header_json) {
  return vadoctl::BuildRequestPayload(header_json, "", false);
}

rapidjson::Document ParseHeader(const vadoctl::AgentMessage& message) {
  rapidjson::Document header;
  header.Parse(message.header.c_str());
  EXPECT_FALSE(header.HasParseError()) << "header is not JSON: " << message.header;
  if (header.HasParseError() || !header.IsObject()) {
    ADD_FAILURE() << "header is not a JSON object: " << message.header;
    header.SetObject();
  }
  return header;
}

void AgentTest::SetUp() {
  ASSERT_FALSE(temp_.path().empty()) << "cannot create a temporary folder";
  if (const char* value = std::getenv("TMPDIR")) saved_tmpdir_ = value;
  ::setenv("TMPDIR", temp_.path().c_str(), 1);
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  app_folder_ = std::string("app-") + info->name();
}

void AgentTest::TearDown() {
  agent_.Stop(2000);
  if (saved_tmpdir_) {
    ::setenv("TMPDIR", saved_tmpdir_->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

vadoctl::AgentLaunch AgentTest::Launch(int port) const {
  vadoctl::AgentLaunch launch;
  launch.executable = AgentPath();
  launch.gui_port = port;
  launch.console = false;
  launch.app_folder = app_folder_;
  launch.product_name = "e2e";
  launch.product_version = "9.8.7";
  return launch;
}

void AgentTest::StartConnected(vadoctl::AgentLaunch launch) {
  int port = link_.Listen();
  ASSERT_GT(port, 0);
  launch.gui_port = port;
  std::string error;
  ASSERT_TRUE(agent_.Start(launch, &error)) << error;
  ASSERT_TRUE(link_.Accept(milliseconds(8000))) << "the agent did not connect";
}

void AgentTest::SendRequest(uint32_t command_id, uint64_t task_id, const std::string& header_json) {
  ASSERT_TRUE(link_.Send(command_id, task_id, 0, RequestPayload(header_json)));
}

std::string AgentTest::AppRoot() const { return temp_.path() + "/" + app_folder_; }

std::optional<std::string> AgentTest::FindLogFolder() const {
  std::vector<std::string> dates = ListFolder(AppRoot());
  if (dates.size() != 1) return std::nullopt;
  return AppRoot() + "/" + dates[0];
}

std::string AgentTest::WaitForLogFolder(milliseconds timeout) {
  std::optional<std::string> folder;
  WaitUntil([&] { return (folder = FindLogFolder()).has_value(); }, timeout);
  EXPECT_TRUE(folder.has_value()) << "no log folder under " << AppRoot();
  return folder.value_or(std::string());
}

std::optional<vadoctl::AgentMessage> ReceiveReply(vadoctl::FrontEndLink& link, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) left = milliseconds(0);
    std::optional<vadoctl::AgentMessage> message = link.Receive(left);
    if (!message || !(message->kind == 1 && message->task_id == 0)) return message;
  }
}

}  // namespace e2e
