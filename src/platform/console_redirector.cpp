#include "platform/console_redirector.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

namespace platform {
namespace {

constexpr std::chrono::milliseconds kWaitStep{50};
// Once the child has ended, output that a left-behind grandchild keeps open is not
// waited for longer than this.
constexpr int kDrainPollMs = 200;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

ConsoleRedirector::~ConsoleRedirector() { Stop(); }

bool ConsoleRedirector::Start(const std::vector<std::string>& argv) {
  if (argv.empty() || pid_ > 0 || reader_.joinable()) return false;
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return false;
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (spawned != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return false;
  }
  pid_ = pid;
  exit_status_ = -1;
  child_ended_ = false;
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  reader_ = std::thread([this] { ReadOutput(); });
  return true;
}

void ConsoleRedirector::ReadOutput() {
  char buffer[4096];
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  int open_count = 2;
  while (open_count > 0) {
    const int ready = ::poll(fds, 2, kDrainPollMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      if (child_ended_) break;
      continue;
    }
    for (pollfd& entry : fds) {
      if (entry.fd < 0 || entry.revents == 0) continue;
      ssize_t n = ::read(entry.fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(entry.fd);
        entry.fd = -1;  // poll ignores negative descriptors
        --open_count;
        continue;
      }
      OnOutput(buffer, static_cast<size_t>(n));
    }
  }
  for (pollfd& entry : fds) {
    if (entry.fd >= 0) ::close(entry.fd);
  }
  out_fd_ = -1;
  err_fd_ = -1;
}

int ConsoleRedirector::Wait(std::chrono::milliseconds timeout, const std::function<bool()>& stop) {
  if (pid_ <= 0) return exit_status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
      break;
    }
    if (done < 0 && errno != EINTR) {
      pid_ = -1;
      exit_status_ = -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline || (stop && stop())) {
      Reap(true);
      exit_status_ = -1;
      break;
    }
    std::this_thread::sleep_for(kWaitStep);
  }
  child_ended_ = true;
  if (reader_.joinable()) reader_.join();
  return exit_status_;
}

void ConsoleRedirector::Reap(bool kill_first) {
  if (pid_ <= 0) return;
  if (kill_first) ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

void ConsoleRedirector::Stop() {
  Reap(true);
  child_ended_ = true;
  if (reader_.joinable()) reader_.join();
  CloseFd(out_fd_);
  CloseFd(err_fd_);
}

void ConsoleRedirector::OnOutput(const char* data, size_t size) {
  std::fwrite(data, 1, size, stdout);
  std::fflush(stdout);
}

SyncRedirector::~SyncRedirector() {
  // The reader thread calls this class's OnOutput: it must end before this part goes.
  Stop();
}

int SyncRedirector::Run(const std::vector<std::string>& argv, std::string* output,
                        std::chrono::milliseconds timeout, const std::function<bool()>& stop) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.clear();
  }
  if (!Start(argv)) return -1;
  const int status = Wait(timeout, stop);
  if (output != nullptr) *output = Output();
  return status;
}

std::string SyncRedirector::Output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

void SyncRedirector::OnOutput(const char* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  output_.append(data, size);
}

}  // namespace platform
