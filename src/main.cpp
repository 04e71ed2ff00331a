// VadoAgent: the device-side worker started by a front end.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/launch_options.h"
#include "utility/agent_startup.h"

int main(int argc, char** argv) {
  // The time zone is loaded once here, before any thread logs: the C library's lazy
  // loading is not safe when several threads format their first local time at once.
  tzset();
  std::vector<std::string> args(argv + 1, argv + argc);
  std::optional<LaunchOptions> options = ParseLaunchOptions(args);
  if (!options) {
    std::fprintf(stderr, "%s\n", LaunchUsage(argc > 0 ? argv[0] : "VadoAgent").c_str());
    return 2;
  }
  int code = RunAgent(*options);
  // Pool, client and device threads are still running: leave without running static
  // destructors underneath them.
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}
