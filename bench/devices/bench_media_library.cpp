// Listing a large media library end to end: the simulator serves a device with many songs
// and playlists, and the agent answers command 1000 (every item and playlist, each item's
// file checked on the device) over the front-end protocol. Each round reports the wall
// time from request to result, the agent's CPU time and peak resident memory, and the
// number of per-item file checks the listing needs (one device round trip each), beside
// the sqlite3 command-line program running the module's item statement with JSON output on
// the same database file, and the ratio of the two.
//
//   build/bin/bench_media_library [--songs N] [--playlists N] [--rounds R]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <rapidjson/document.h>
#include <sqlite3.h>

#include "bench_agent.h"
#include "process_figures.h"
#include "utility/module/media/media_library.h"

namespace {

using std::chrono::milliseconds;

// Items whose file the listing checks on the device: a total time and a path with an
// extension.
long FileChecks(const std::string& db_path) {
  sqlite3* db = nullptr;
  long count = -1;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT count(*) FROM item_extra WHERE total_time_ms != 0 AND"
                           " location LIKE '%.%'",
                           -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      count = static_cast<long>(sqlite3_column_int64(s, 0));
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return count;
}

struct MediaRound {
  int64_t code = -1;
  size_t items = 0;
  size_t playlists = 0;
  double seconds = 0;
};

MediaRound ListLibrary(BenchAgent& run, uint64_t task) {
  MediaRound round;
  const auto start = std::chrono::steady_clock::now();
  round.code = run.Request(1000, task, "{\"uuid\":\"" + run.device.udid + "\"}",
                           [&](const rapidjson::Document& h, const std::string& body) {
    if (!h.HasMember("stage") || h["stage"].GetInt64() != 1 || !h.HasMember("type")) return;
    const int64_t type = h["type"].GetInt64();
    if (type < 1004 || type > 1009) return;
    if (type == 1009) {
      round.playlists += CountOccurrences(body, "{\"container_pid\":");
    } else {
      round.items += CountOccurrences(body, "{\"item_pid\":");
    }
  });
  round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  uint64_t songs = 20000, playlists = 200;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--songs") == 0) songs = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--playlists") == 0) playlists = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  devsim::DeviceSpec farm_device;
  farm_device.media_files = 0;
  farm_device.media.songs = songs;
  farm_device.media.playlists = playlists;
  BenchAgent run;
  if (!run.Start(farm_device)) return 1;
  const std::string db = (run.sim.farm_dir() / "devices" / run.device.udid /
                          "fs/private/var/mobile/Media/iTunes_Control/iTunes/MediaLibrary.sqlitedb")
                             .string();
  const long checks = FileChecks(db);
  for (int r = 0; r < rounds; ++r) {
    const double cpu_before = ProcessCpuSeconds(run.agent.pid());
    const MediaRound round = ListLibrary(run, 100 + r);
    const double agent_cpu = ProcessCpuSeconds(run.agent.pid()) - cpu_before;
    const ToolRun cli = RunSqliteJson(db, kMediaLibraryItemStatement);
    std::printf("round %d: songs=%llu playlists=%llu code=%lld items=%zu playlists_sent=%zu "
                "file_checks=%ld agent_wall=%.3f s agent_cpu=%.3f s agent_peak_kib=%ld "
                "sqlite3_json_wall=%.3f s sqlite3_json_cpu=%.3f s wall_ratio=%.1f\n",
                r, static_cast<unsigned long long>(songs),
                static_cast<unsigned long long>(playlists), static_cast<long long>(round.code),
                round.items, round.playlists, checks, round.seconds, agent_cpu,
                StatusKib(run.agent.pid(), "VmHWM"), cli.wall, cli.cpu,
                cli.wall > 0 ? round.seconds / cli.wall : 0.0);
    if (round.code != 0) return 1;
  }
  run.agent.Stop();
  return 0;
}
