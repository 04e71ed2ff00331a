// Simulator throughput as the agent sees it through libimobiledevice: AFC transfer rates,
// lockdown session set-up time, and a farm of 50 attached devices.
#include <benchmark/benchmark.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "afc_connection.h"
#include "sim_harness.h"

namespace devsim::testing {
namespace {

constexpr size_t kFileSize = 256u << 20;
constexpr uint32_t kChunk = 4u << 20;  // the agent's transfer chunk

struct OneDevice {
  SimHarness sim;
  std::string udid;
  OneDevice() {
    DeviceSpec wanted;
    wanted.media_files = 0;
    udid = sim.AddDevice(wanted);
    sim.Start();
    sim.ExportSocket();
  }
};

// Destroyed at exit, which stops its daemon.
OneDevice& Shared() {
  static OneDevice d;
  return d;
}

void BM_AfcWrite256MiB(benchmark::State& state) {
  AfcConnection afc(Shared().udid);
  if (!afc) return state.SkipWithError("no AFC connection");
  std::string chunk(kChunk, 'v');
  for (auto _ : state) {
    uint64_t h = 0;
    afc_file_open(afc.get(), "/Downloads/bench.bin", AFC_FOPEN_WRONLY, &h);
    for (size_t done = 0; done < kFileSize; done += kChunk) {
      uint32_t n = 0;
      if (afc_file_write(afc.get(), h, chunk.data(), kChunk, &n) != AFC_E_SUCCESS || n != kChunk) {
        state.SkipWithError("write failed");
        break;
      }
    }
    afc_file_close(afc.get(), h);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_AfcWrite256MiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_AfcRead256MiB(benchmark::State& state) {
  AfcConnection afc(Shared().udid);
  if (!afc) return state.SkipWithError("no AFC connection");
  if (!afc.WriteFile("/Downloads/read.bin", std::string(kFileSize, 'r'))) {
    return state.SkipWithError("could not create the file");
  }
  std::string buf(kChunk, '\0');
  for (auto _ : state) {
    uint64_t h = 0;
    afc_file_open(afc.get(), "/Downloads/read.bin", AFC_FOPEN_RDONLY, &h);
    size_t total = 0;
    for (;;) {
      uint32_t n = 0;
      if (afc_file_read(afc.get(), h, buf.data(), kChunk, &n) != AFC_E_SUCCESS || n == 0) break;
      total += n;
    }
    afc_file_close(afc.get(), h);
    if (total != kFileSize) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_AfcRead256MiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Connect, QueryType, ProductVersion, pair record, StartSession and the TLS handshake.
void BM_LockdownSessionSetup(benchmark::State& state) {
  idevice_t dev = nullptr;
  if (idevice_new_with_options(&dev, Shared().udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
    return state.SkipWithError("no device");
  }
  std::vector<double> ms;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    lockdownd_client_t client = nullptr;
    if (lockdownd_client_new_with_handshake(dev, &client, "bench") != LOCKDOWN_E_SUCCESS) {
      state.SkipWithError("handshake failed");
      break;
    }
    auto end = std::chrono::steady_clock::now();
    lockdownd_client_free(client);
    double s = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(s);
    ms.push_back(s * 1000.0);
  }
  idevice_free(dev);
  if (!ms.empty()) {
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
  }
}
BENCHMARK(BM_LockdownSessionSetup)->Unit(benchmark::kMillisecond)->Iterations(30)->UseManualTime();

void BM_FiftyDevicesListed(benchmark::State& state) {
  SimHarness sim;
  for (uint64_t i = 0; i < 50; ++i) {
    DeviceSpec wanted;
    wanted.seed = 1000 + i;
    wanted.media_files = 0;
    wanted.untrusted = true;  // no certificates needed to be listed
    if (sim.AddDevice(wanted).empty()) return state.SkipWithError("mkfarm failed");
  }
  if (!sim.Start()) return state.SkipWithError("daemon did not start");
  size_t listed = 0;
  for (auto _ : state) {
    ToolResult r = sim.Run({"idevice_id", "-l"});
    listed = static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
  }
  state.counters["devices_listed"] = static_cast<double>(listed);
  if (listed != 50) state.SkipWithError("idevice_id -l did not list 50 devices");
}
BENCHMARK(BM_FiftyDevicesListed)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
}  // namespace devsim::testing

BENCHMARK_MAIN();
