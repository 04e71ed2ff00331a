// vado-devsimd --socket PATH --farm DIR
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "mux/daemon.h"
#include "farm/farm.h"
#include "lockdown/service_registry.h"

namespace {

devsim::Daemon* g_daemon = nullptr;

void OnSignal(int) {
  if (g_daemon) g_daemon->RequestStop();
}

int Usage() {
  std::fprintf(stderr, "usage: vado-devsimd --socket PATH --farm DIR\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket_path, farm_dir;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--socket" && i + 1 < argc) {
      socket_path = argv[++i];
    } else if (a == "--farm" && i + 1 < argc) {
      farm_dir = argv[++i];
    } else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else {
      return Usage();
    }
  }
  if (socket_path.empty() || farm_dir.empty()) return Usage();

  std::signal(SIGPIPE, SIG_IGN);
  devsim::Farm farm(farm_dir);
  std::string error;
  if (!farm.Open(&error)) {
    std::fprintf(stderr, "vado-devsimd: %s\n", error.c_str());
    return 1;
  }
  devsim::Daemon daemon(farm, devsim::BuiltinServices());
  g_daemon = &daemon;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  if (!daemon.Start(socket_path, &error)) {
    std::fprintf(stderr, "vado-devsimd: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "vado-devsimd: serving %zu device(s) on %s\n",
               daemon.table().Attached().size(), socket_path.c_str());
  daemon.Run();
  g_daemon = nullptr;
  return 0;
}
