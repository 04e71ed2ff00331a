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

namespace {

using std::chrono::milliseconds;

// The module's item statement (the media library's form).
constexpr char kItemStatement[] =
    "select media_kind,i.item_pid, file_size, year,date_modified,comment,description_long,"
    "copyright,title,total_time_ms, i.media_type, a.album,a.album_pid, ia.item_artist,"
    "ia.item_artist_pid, g.genre,g.genre_id, bl.path || '/' || ie.location,bl.base_location_id"
    " from item as i left join item_extra as ie on ie.item_pid = i.item_pid left join album as a"
    " on a.album_pid = i.album_pid left join item_artist as ia on ia.item_artist_pid ="
    " i.item_artist_pid\t left join genre as g on g.genre_id = i.genre_id left join"
    " base_location as bl on bl.base_location_id = i.base_location_id"
    " order by title COLLATE NOCASE asc";

long MediaPeakKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

double MediaCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

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
  run.link.Send(1000, task, 0,
                vadoctl::BuildRequestPayload("{\"uuid\":\"" + run.device.udid + "\"}", "", false));
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(900)) {
    auto m = run.link.Receive(milliseconds(100));
    if (!m || m->task_id != task) continue;
    rapidjson::Document h;
    h.Parse(m->header.c_str());
    if (m->kind != 2) {
      round.code = h["code"].GetInt64();
      break;
    }
    if (!h.HasMember("stage") || h["stage"].GetInt64() != 1 || !h.HasMember("type")) continue;
    const int64_t type = h["type"].GetInt64();
    const char* marker = type == 1009 ? "{\"container_pid\":" : "{\"item_pid\":";
    if (type < 1004 || type > 1009) continue;
    size_t& counter = type == 1009 ? round.playlists : round.items;
    for (size_t at = m->body.find(marker); at != std::string::npos;
         at = m->body.find(marker, at + 1)) {
      ++counter;
    }
  }
  round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return round;
}

struct MediaCliRun {
  double wall = -1;
  double cpu = -1;
};

MediaCliRun SqliteJson(const std::string& path) {
  MediaCliRun run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    ::execlp("sqlite3", "sqlite3", "-json", "-readonly", path.c_str(), kItemStatement,
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
            (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return run;
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
    const double cpu_before = MediaCpuSeconds(run.agent.pid());
    const MediaRound round = ListLibrary(run, 100 + r);
    const double agent_cpu = MediaCpuSeconds(run.agent.pid()) - cpu_before;
    const MediaCliRun cli = SqliteJson(db);
    std::printf("round %d: songs=%llu playlists=%llu code=%lld items=%zu playlists_sent=%zu "
                "file_checks=%ld agent_wall=%.3f s agent_cpu=%.3f s agent_peak_kib=%ld "
                "sqlite3_json_wall=%.3f s sqlite3_json_cpu=%.3f s wall_ratio=%.1f\n",
                r, static_cast<unsigned long long>(songs),
                static_cast<unsigned long long>(playlists), static_cast<long long>(round.code),
                round.items, round.playlists, checks, round.seconds, agent_cpu,
                MediaPeakKib(run.agent.pid()), cli.wall, cli.cpu,
                cli.wall > 0 ? round.seconds / cli.wall : 0.0);
    if (round.code != 0) return 1;
  }
  run.agent.Stop();
  return 0;
}
