// Listing a large photo library end to end: the simulator serves an iOS 16 device with
// many photos, the agent copies its Photos.sqlite once (command 400 with "refresh") and
// then lists the copy it holds, over the front-end protocol. Each round reports the wall
// time from request to result and the agent's peak resident memory, beside the sqlite3
// command-line program running the module's photo-list statement with JSON output on the
// device's library file, and the ratio of the two.
//
//   build/bin/bench_photo_list [--photos N] [--rounds R]   (5 rounds unless told; the
//   last line gives the medians of the rounds and their ratio)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "bench_agent.h"
#include "process_figures.h"
#include "utility/module/photo/photo_library.h"

namespace {

using std::chrono::milliseconds;

struct PhotoRound {
  int64_t code = -1;
  int64_t count = -1;
  size_t photos = 0;
  size_t arrays = 0;
  double seconds = 0;
};

PhotoRound ListPhotos(BenchAgent& run, uint64_t task, bool refresh) {
  PhotoRound round;
  const auto start = std::chrono::steady_clock::now();
  const std::string header = "{\"uuid\":\"" + run.device.udid + "\",\"info\":{\"refresh\":" +
                             (refresh ? "true" : "false") + "}}";
  round.code = run.Request(400, task, header, [&](const rapidjson::Document& h,
                                                  const std::string& body) {
    if (!h.HasMember("stage")) return;
    if (h["stage"].GetInt64() == 0) round.count = h["info"]["Count"].GetInt64();
    if (h["stage"].GetInt64() != 1) return;
    ++round.arrays;
    round.photos += CountOccurrences(body, "{\"PATH\":");  // each photo starts so
  });
  round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  uint64_t photos = 50000;
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--photos") == 0) photos = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  devsim::DeviceSpec farm_device;
  farm_device.product_version = "16.6";
  farm_device.media_files = 1;
  farm_device.photos.photos = photos;
  farm_device.photos.albums = 10;
  const auto build_start = std::chrono::steady_clock::now();
  BenchAgent run;
  if (!run.Start(farm_device)) return 1;
  std::printf("photos=%llu farm+start=%.1f s\n", static_cast<unsigned long long>(photos),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - build_start).count());
  const std::string library = (run.sim.farm_dir() / "devices" / run.device.udid /
                               "fs/private/var/mobile/Media/PhotoData/Photos.sqlite").string();
  PhotoRound first = ListPhotos(run, 100, true);
  std::printf("with copy: code=%lld count=%lld photos=%zu wall=%.3f s\n",
              static_cast<long long>(first.code), static_cast<long long>(first.count),
              first.photos, first.seconds);
  if (first.code != 0) return 1;
  const std::string sql = PhotoListStatement("ZASSET", true);
  std::vector<double> agent_walls, cli_walls;
  for (int r = 0; r < rounds; ++r) {
    PhotoRound round = ListPhotos(run, 200 + r, false);
    const double cli = RunSqliteJson(library, sql).wall;
    agent_walls.push_back(round.seconds);
    cli_walls.push_back(cli);
    std::printf("round %d: code=%lld photos=%zu arrays=%zu agent_wall=%.3f s agent_peak_kib=%ld "
                "sqlite3_json_wall=%.3f s ratio=%.2f\n",
                r, static_cast<long long>(round.code), round.photos, round.arrays, round.seconds,
                StatusKib(run.agent.pid(), "VmHWM"), cli, cli > 0 ? round.seconds / cli : 0.0);
  }
  const double agent = Median(agent_walls), cli = Median(cli_walls);
  std::printf("median of %d rounds: agent_wall=%.3f s sqlite3_json_wall=%.3f s ratio=%.2f\n",
              rounds, agent, cli, cli > 0 ? agent / cli : 0.0);
  run.agent.Stop();
  return 0;
}
