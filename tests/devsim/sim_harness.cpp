#include "sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "farm/farm.h"

extern char** environ;

namespace devsim::testing {
namespace {

std::vector<std::string> ChildEnv(const std::string& socket, const std::filesystem::path& home) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    if (kv.rfind("USBMUXD_SOCKET_ADDRESS=", 0) == 0 || kv.rfind("HOME=", 0) == 0) continue;
    env.push_back(kv);
  }
  env.push_back("USBMUXD_SOCKET_ADDRESS=UNIX:" + socket);
  env.push_back("HOME=" + home.string());
  return env;
}

std::vector<char*> CArgs(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (auto& s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

bool CanConnect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

SimHarness::SimHarness() {
  char tmpl[] = "/tmp/devsim-test-XXXXXX";
  dir_ = mkdtemp(tmpl);
  socket_ = (dir_ / "mux.sock").string();
}

SimHarness::~SimHarness() {
  Stop();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string SimHarness::AddDevice(const DeviceSpec& spec) {
  Farm farm(farm_dir());
  std::string error;
  if (!farm.Open(&error)) return {};
  return devsim::AddDevice(farm, spec, &error);
}

bool SimHarness::Start() {
  std::vector<std::string> argv = {VADO_DEVSIMD_PATH, "--socket", socket_, "--farm",
                                   farm_dir().string()};
  auto args = CArgs(argv);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  std::string log = (dir_ / "daemon.log").string();
  // The daemon never holds the caller's output pipes open.
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  int rc = posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    pid_ = -1;
    return false;
  }
  for (int i = 0; i < 500; ++i) {
    if (CanConnect(socket_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int SimHarness::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

ToolResult SimHarness::Run(const std::vector<std::string>& argv_in, int timeout_s) const {
  ToolResult result;
  std::vector<std::string> argv = argv_in;
  std::vector<std::string> env = ChildEnv(socket_, dir_);
  auto args = CArgs(argv);
  auto envp = CArgs(env);
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0].c_str(), &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_count = 2;
  bool killed = false;
  while (open_count > 0) {
    int n = poll(fds, 2, 100);
    if (std::chrono::steady_clock::now() > deadline && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (n <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(got));
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

ToolResult SimHarness::Control(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {VADO_DEVSIM_PATH, "--socket", socket_};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

void SimHarness::ExportSocket() const {
  setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket_).c_str(), 1);
}

}  // namespace devsim::testing
