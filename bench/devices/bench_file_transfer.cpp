// Block download (702) and upload (703) of a large file end to end through the agent and
// the front end's transfer client, beside a direct copy of the same PC file to the device
// and back with libimobiledevice's own AFC client, in the same run. Both sides read and
// write PC files the same way; CPU seconds of the agent and the simulator are reported
// beside the rates, which a busy machine makes noisy.
//
//   build/bin/bench_file_transfer [--mib N] [--rounds R]
#include <sys/resource.h>

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_agent.h"
#include "process_figures.h"
#include "file_transfer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr size_t kChunk = 4 << 20;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One AFC client of libimobiledevice on the device, released on destruction.
struct DirectAfc {
  idevice_t device = nullptr;
  lockdownd_client_t lockdown = nullptr;
  lockdownd_service_descriptor_t service = nullptr;
  afc_client_t afc = nullptr;

  explicit DirectAfc(const std::string& udid) {
    if (idevice_new_with_options(&device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) return;
    if (lockdownd_client_new_with_handshake(device, &lockdown, "bench") != LOCKDOWN_E_SUCCESS) return;
    if (lockdownd_start_service(lockdown, "com.apple.afc", &service) != LOCKDOWN_E_SUCCESS) return;
    if (afc_client_new(device, service, &afc) != AFC_E_SUCCESS) afc = nullptr;
  }
  ~DirectAfc() {
    if (afc) afc_client_free(afc);
    if (service) lockdownd_service_descriptor_free(service);
    if (lockdown) lockdownd_client_free(lockdown);
    if (device) idevice_free(device);
  }
};

// Copies the local file `local` to the device, as the agent's upload does, so the two
// figures compare like with like.
bool DirectWrite(const std::string& udid, const fs::path& local, const std::string& path,
                 uint64_t size) {
  std::ifstream in(local, std::ios::binary);
  if (!in) return false;
  DirectAfc client(udid);
  uint64_t handle = 0;
  if (!client.afc || afc_file_open(client.afc, path.c_str(), AFC_FOPEN_WR, &handle) != AFC_E_SUCCESS) {
    return false;
  }
  std::vector<char> buffer(kChunk);
  bool ok = true;
  for (uint64_t done = 0; ok && done < size;) {
    uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kChunk, size - done));
    ok = static_cast<bool>(in.read(buffer.data(), want));
    for (uint32_t sent = 0; ok && sent < want;) {
      uint32_t written = 0;
      ok = afc_file_write(client.afc, handle, buffer.data() + sent, want - sent, &written) ==
               AFC_E_SUCCESS &&
           written > 0;
      sent += written;
    }
    done += want;
  }
  afc_file_close(client.afc, handle);
  return ok;
}

// Reads the device file into the local file `local`, as the agent's download does, so the
// two figures compare like with like.
bool DirectRead(const std::string& udid, const std::string& path, const fs::path& local,
                uint64_t* total) {
  std::ofstream out(local, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  DirectAfc client(udid);
  uint64_t handle = 0;
  if (!client.afc || afc_file_open(client.afc, path.c_str(), AFC_FOPEN_RDONLY, &handle) != AFC_E_SUCCESS) {
    return false;
  }
  std::vector<char> buffer(kChunk);
  *total = 0;
  while (true) {
    uint32_t got = 0;
    if (afc_file_read(client.afc, handle, buffer.data(), kChunk, &got) != AFC_E_SUCCESS || got == 0) break;
    out.write(buffer.data(), got);
    *total += got;
  }
  afc_file_close(client.afc, handle);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 1024;
  int rounds = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) mib = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  BenchAgent bench;
  if (!bench.Start(devsim::DeviceSpec{})) return 1;
  const std::string udid = bench.device.udid;
  fs::path media = bench.sim.farm_dir() / "devices" / udid / "fs/private/var/mobile/Media";
  fs::create_directories(media / "Bench");
  fs::path local = bench.sim.dir() / "upload.bin";
  {
    std::ofstream out(local, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131);
    for (uint64_t i = 0; i < mib; ++i) out.write(block.data(), block.size());
  }
  const uint64_t size = mib << 20;
  const double megabytes = static_cast<double>(size) / 1e6;
  double up = 0, down = 0, direct_write = 0, direct_read = 0;
  // CPU seconds of everything in each phase (this process, as front end or as direct AFC
  // client, plus the agent and the simulator), over all rounds.
  double cpu_up = 0, cpu_down = 0, cpu_write = 0, cpu_read = 0;
  double cpu_mark = 0;
  auto cpu_since = [&cpu_mark]() {
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    const double now = ChildrenCpuSeconds() + static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                       1e-6 * static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec);
    const double used = now - cpu_mark;
    cpu_mark = now;
    return used;
  };
  vadoctl::FileTransferClient client(bench.link, bench.device, std::chrono::seconds(60));
  uint64_t task = 1000;
  for (int round = 0; round < rounds; ++round) {
    fs::remove(media / "Bench/upload.bin");
    cpu_since();
    auto start = Clock::now();
    vadoctl::TransferOutcome pushed = client.Push(task++, local.string(), {"/Bench", false});
    if (!pushed.ok) {
      std::fprintf(stderr, "upload failed: %s\n", pushed.error.c_str());
      return 1;
    }
    up = std::max(up, megabytes / Seconds(Clock::now() - start));
    cpu_up += cpu_since();
    start = Clock::now();
    vadoctl::TransferOutcome pulled =
        client.Pull(task++, pushed.device_path, (bench.sim.dir() / "download.bin").string());
    if (!pulled.ok || pulled.bytes != static_cast<int64_t>(size)) {
      std::fprintf(stderr, "download failed: %s\n", pulled.error.c_str());
      return 1;
    }
    down = std::max(down, megabytes / Seconds(Clock::now() - start));
    cpu_down += cpu_since();
    fs::remove(bench.sim.dir() / "download.bin");
    start = Clock::now();
    if (!DirectWrite(udid, local, "/Bench/direct.bin", size)) {
      std::fprintf(stderr, "direct write failed\n");
      return 1;
    }
    direct_write = std::max(direct_write, megabytes / Seconds(Clock::now() - start));
    cpu_write += cpu_since();
    start = Clock::now();
    uint64_t total = 0;
    if (!DirectRead(udid, "/Bench/direct.bin", bench.sim.dir() / "direct.bin", &total) ||
        total != size) {
      std::fprintf(stderr, "direct read failed\n");
      return 1;
    }
    direct_read = std::max(direct_read, megabytes / Seconds(Clock::now() - start));
    cpu_read += cpu_since();
    fs::remove(media / "Bench/direct.bin");
    fs::remove(bench.sim.dir() / "direct.bin");
  }
  std::printf("file: %llu MiB, best of %d rounds\n", static_cast<unsigned long long>(mib), rounds);
  std::printf("703 upload through the agent:        %.0f MB/s\n", up);
  std::printf("libimobiledevice afc_file_write:     %.0f MB/s (from the PC file)\n", direct_write);
  std::printf("upload ratio: %.0f%% (target >= 80%%)\n", 100.0 * up / direct_write);
  std::printf("702 download through the agent:      %.0f MB/s (to a PC file)\n", down);
  std::printf("libimobiledevice afc_file_read:      %.0f MB/s (to a PC file)\n", direct_read);
  std::printf("download ratio: %.0f%% (target >= 80%%)\n", 100.0 * down / direct_read);
  std::printf("CPU per round (all processes): upload %.2f s, download %.2f s; "
              "direct write %.2f s, direct read %.2f s\n",
              cpu_up / rounds, cpu_down / rounds, cpu_write / rounds, cpu_read / rounds);
  return 0;
}
