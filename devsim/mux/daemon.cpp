#include "mux/daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mux/mux_session.h"

namespace devsim {

Daemon::Daemon(Farm& farm, const ServiceRegistry& services)
    : farm_(farm), services_(services), table_(farm) {
  // Created first so that a stop request arriving during start-up is not lost.
  if (pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) wake_pipe_[0] = wake_pipe_[1] = -1;
  // A fault that unplugs a device mid-transfer does what the control command does.
  table_.SetUnplugAction([this](const std::string& udid) {
    if (table_.Detach(udid)) DropDeviceConnections(udid);
  });
}

Daemon::~Daemon() {
  if (listen_fd_ >= 0) close(listen_fd_);
  for (int fd : wake_pipe_) {
    if (fd >= 0) close(fd);
  }
}

bool Daemon::Start(const std::string& socket_path, std::string* error) {
  sockaddr_un addr{};
  if (socket_path.empty() || socket_path.size() >= sizeof addr.sun_path) {
    *error = "socket path empty or too long";
    return false;
  }
  if (wake_pipe_[0] < 0) {
    *error = "cannot create the wake-up pipe";
    return false;
  }
  // Only a leftover socket file is replaced; any other file at the path is an error.
  struct stat st{};
  if (lstat(socket_path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = socket_path + " exists and is not a socket";
      return false;
    }
    unlink(socket_path.c_str());
  }
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size());
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 128) != 0) {
    *error = "cannot listen on " + socket_path + ": " + strerror(errno);
    return false;
  }
  socket_path_ = socket_path;
  for (const std::string& udid : farm_.DeviceUdids()) {
    std::string why;
    if (!table_.Attach(udid, &why)) {
      std::fprintf(stderr, "vado-devsimd: skipping device %s: %s\n", udid.c_str(), why.c_str());
    }
  }
  return true;
}

void Daemon::RequestStop() {
  char c = 1;
  if (wake_pipe_[1] >= 0) {
    ssize_t ignored = write(wake_pipe_[1], &c, 1);
    (void)ignored;
  }
}

void Daemon::ReapFinished() {
  std::lock_guard<std::mutex> lock(conns_mu_);
  for (auto it = conns_.begin(); it != conns_.end();) {
    if (it->second.done->load()) {
      it->second.thread.join();
      close(it->first);
      it = conns_.erase(it);
    } else {
      ++it;
    }
  }
}

void Daemon::Run() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    int n = poll(fds, 2, 1000);
    if (n < 0 && errno != EINTR) break;
    if (fds[1].revents) break;
    ReapFinished();
    if (n <= 0 || !(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> lock(conns_mu_);
    // One thread per client: a flood of idle clients must not exhaust the process.
    if (conns_.size() >= kMaxClients) {
      close(fd);
      continue;
    }
    Conn& c = conns_[fd];
    c.done = done;
    c.thread = std::thread([this, fd, done] {
      ServeMuxClient(*this, fd);
      done->store(true);
    });
  }
  // Shut every client down so its thread returns, then join and close.
  {
    std::lock_guard<std::mutex> lock(conns_mu_);
    for (auto& [fd, c] : conns_) shutdown(fd, SHUT_RDWR);
  }
  for (;;) {
    std::map<int, Conn> left;
    {
      std::lock_guard<std::mutex> lock(conns_mu_);
      left.swap(conns_);
    }
    if (left.empty()) break;
    for (auto& [fd, c] : left) {
      c.thread.join();
      close(fd);
    }
  }
  close(listen_fd_);
  listen_fd_ = -1;
  unlink(socket_path_.c_str());
}

void Daemon::BindConnection(int fd, const std::string& udid) {
  std::lock_guard<std::mutex> lock(conns_mu_);
  auto it = conns_.find(fd);
  if (it != conns_.end()) it->second.udid = udid;
}

void Daemon::DropDeviceConnections(const std::string& udid) {
  std::lock_guard<std::mutex> lock(conns_mu_);
  for (auto& [fd, c] : conns_) {
    if (c.udid == udid) shutdown(fd, SHUT_RDWR);
  }
}

}  // namespace devsim
