// Backup and restore throughput of the simulated device with idevicebackup2 as the host:
// one device with 2000 generated files totalling 1 GiB.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "sim_harness.h"

namespace devsim::testing {
namespace {

constexpr uint64_t kFiles = 2000;
constexpr uint64_t kBytes = 1ull << 30;

struct BulkDevice {
  SimHarness sim;
  std::string udid;
  std::filesystem::path backups;
  BulkDevice() {
    DeviceSpec wanted;
    wanted.media_files = 0;
    wanted.backup_files = kFiles;
    wanted.backup_bytes = kBytes;
    udid = sim.AddDevice(wanted);
    sim.Start();
    backups = sim.dir() / "backups";
    std::filesystem::create_directories(backups);
  }
};

BulkDevice& Shared() {
  static BulkDevice d;
  return d;
}

void BM_Idevicebackup2Backup1GiB(benchmark::State& state) {
  BulkDevice& d = Shared();
  for (auto _ : state) {
    ToolResult r = d.sim.Run({"idevicebackup2", "-u", d.udid, "backup", "--full", d.backups.string()}, 600);
    if (r.status != 0) state.SkipWithError("backup failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_Idevicebackup2Backup1GiB)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_Idevicebackup2Restore1GiB(benchmark::State& state) {
  BulkDevice& d = Shared();
  for (auto _ : state) {
    ToolResult r = d.sim.Run({"idevicebackup2", "-u", d.udid, "restore", "--no-reboot", d.backups.string()}, 600);
    if (r.status != 0) state.SkipWithError("restore failed (run the backup benchmark first)");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_Idevicebackup2Restore1GiB)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace devsim::testing

BENCHMARK_MAIN();
