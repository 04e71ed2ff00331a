// The free-space wipe (1701, level 1) end to end through the agent and the front end's
// request runner, over a device whose data partition has --mib MiB free, beside a direct
// write of the same number of zero bytes in 8 MiB writes with libimobiledevice's own AFC
// client, in the same run. Both write zeros, so the simulator stores the same thing.
//
//   build/bin/bench_wipe_free [--mib N] [--rounds R]     (default 256 MiB; 2048 for 2 GiB)
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_agent.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kWipeChunk = 8u << 20;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Writes `size` zero bytes to `path` and removes the file again (through AFC, so the
// partition gets its space back). False when a step fails.
bool DirectZeroWrite(const std::string& udid, const char* path, uint64_t size, double* seconds) {
  idevice_t device = nullptr;
  lockdownd_client_t lockdown = nullptr;
  lockdownd_service_descriptor_t service = nullptr;
  afc_client_t afc = nullptr;
  bool ok = idevice_new_with_options(&device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) ==
                IDEVICE_E_SUCCESS &&
            lockdownd_client_new_with_handshake(device, &lockdown, "bench") == LOCKDOWN_E_SUCCESS &&
            lockdownd_start_service(lockdown, "com.apple.afc", &service) == LOCKDOWN_E_SUCCESS &&
            afc_client_new(device, service, &afc) == AFC_E_SUCCESS;
  uint64_t handle = 0;
  ok = ok && afc_file_open(afc, path, AFC_FOPEN_RW, &handle) == AFC_E_SUCCESS;
  std::vector<char> zeros(kWipeChunk, 0);
  const Clock::time_point start = Clock::now();
  for (uint64_t done = 0; ok && done < size;) {
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kWipeChunk, size - done));
    uint32_t written = 0;
    ok = afc_file_write(afc, handle, zeros.data(), want, &written) == AFC_E_SUCCESS && written > 0;
    done += written;
  }
  if (handle != 0) afc_file_close(afc, handle);
  *seconds = SecondsSince(start);
  if (afc != nullptr) afc_remove_path(afc, path);
  if (afc != nullptr) afc_client_free(afc);
  if (service != nullptr) lockdownd_service_descriptor_free(service);
  if (lockdown != nullptr) lockdownd_client_free(lockdown);
  if (device != nullptr) idevice_free(device);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 256;
  int rounds = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) mib = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  const uint64_t size = mib << 20;
  devsim::DeviceSpec farm_device;
  farm_device.data_free = size;
  BenchAgent bench;
  if (!bench.Start(farm_device)) return 1;
  const double megabytes = static_cast<double>(size) / 1e6;
  double wipe = 0, direct = 0;
  uint64_t task = 3000;
  for (int round = 0; round < rounds; ++round) {
    const Clock::time_point start = Clock::now();
    vadoctl::RequestOutcome outcome =
        vadoctl::RunRequest(bench.link, 1701, task++, vadoctl::DeviceHeader(bench.device),
                            "{\"level\":1}", nullptr, std::chrono::minutes(10));
    const double seconds = SecondsSince(start);
    if (!outcome.answered || outcome.code != 0) {
      std::fprintf(stderr, "wipe failed: answered %d code %lld\n", outcome.answered,
                   static_cast<long long>(outcome.code));
      return 1;
    }
    wipe = std::max(wipe, megabytes / seconds);
    double direct_seconds = 0;
    if (!DirectZeroWrite(bench.device.udid, "/direct-zeros.bin", size, &direct_seconds)) {
      std::fprintf(stderr, "direct write failed\n");
      return 1;
    }
    direct = std::max(direct, megabytes / direct_seconds);
  }
  std::printf("free space: %llu MiB, best of %d rounds\n", static_cast<unsigned long long>(mib),
              rounds);
  std::printf("1701 level 1 through the agent:       %.0f MB/s\n", wipe);
  std::printf("libimobiledevice afc_file_write (0s): %.0f MB/s\n", direct);
  std::printf("wipe ratio: %.0f%%\n", 100.0 * wipe / direct);
  return 0;
}
