// CopyFileFromDevice of a large file from the simulator to a PC file, beside a direct read
// of the same file with libimobiledevice's own AFC client written to a PC file the same
// way (stdio, chunk by chunk), in the same run. Reports the median of the rounds.
//
//   build/bin/bench_afc_copy [--mib N] [--rounds R]
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

#include "common/afc_file_ops.h"
#include "common/text_convert.h"
#include "device_fixture.h"
#include "process_figures.h"
#include "utility/ios/vado_device_service.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Reads `path` whole with libimobiledevice's AFC client, one transfer chunk at a time,
// and writes each chunk to `target` with stdio as the agent's copy does.
bool DirectRead(const std::string& udid, const std::string& path, const std::string& target,
                uint64_t* total) {
  idevice_t device = nullptr;
  if (idevice_new_with_options(&device, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS) {
    return false;
  }
  lockdownd_client_t lockdown = nullptr;
  afc_client_t afc = nullptr;
  bool ok = lockdownd_client_new_with_handshake(device, &lockdown, "bench") == LOCKDOWN_E_SUCCESS;
  lockdownd_service_descriptor_t service = nullptr;
  ok = ok && lockdownd_start_service(lockdown, "com.apple.afc", &service) == LOCKDOWN_E_SUCCESS;
  ok = ok && afc_client_new(device, service, &afc) == AFC_E_SUCCESS;
  uint64_t handle = 0;
  ok = ok && afc_file_open(afc, path.c_str(), AFC_FOPEN_RDONLY, &handle) == AFC_E_SUCCESS;
  std::vector<char> buffer(kAfcTransferChunk);
  *total = 0;
  std::FILE* out = ok ? std::fopen(target.c_str(), "wb") : nullptr;
  ok = ok && out != nullptr;
  while (ok) {
    uint32_t got = 0;
    if (afc_file_read(afc, handle, buffer.data(), static_cast<uint32_t>(buffer.size()), &got) !=
            AFC_E_SUCCESS ||
        got == 0) {
      break;
    }
    if (std::fwrite(buffer.data(), 1, got, out) != got) ok = false;
    *total += got;
  }
  if (out != nullptr && std::fclose(out) != 0) ok = false;
  if (handle != 0) afc_file_close(afc, handle);
  if (afc) afc_client_free(afc);
  if (service) lockdownd_service_descriptor_free(service);
  if (lockdown) lockdownd_client_free(lockdown);
  idevice_free(device);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 256;
  int rounds = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) mib = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  SimulatorFixture fixture;
  std::string udid;
  AMDeviceRef device = fixture.Attach(devsim::DeviceSpec{}, &udid);
  if (device == nullptr) {
    std::fprintf(stderr, "no simulated device\n");
    return 1;
  }
  namespace fs = std::filesystem;
  fs::path media = fixture.sim().farm_dir() / "devices" / udid / "fs/private/var/mobile/Media";
  {
    std::ofstream out(media / "big.bin", std::ios::binary);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131);
    for (uint64_t i = 0; i < mib; ++i) out.write(block.data(), block.size());
  }
  int32_t error = 0;
  ServicePtr service = GetService(device, &error, kAfcServiceName, nullptr, true);
  if (!service) {
    std::fprintf(stderr, "AFC service did not start (error %d)\n", error);
    return 1;
  }
  std::u16string target = Utf8ToUtf16((fixture.sim().dir() / "copy.bin").string());
  const std::string direct_target = (fixture.sim().dir() / "direct.bin").string();
  const double megabytes = static_cast<double>(mib << 20) / 1e6;
  std::vector<double> agent_rates, direct_rates;
  for (int round = 0; round < rounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    if (!CopyFileFromDevice(service->afc(), "/big.bin", &target, nullptr)) {
      std::fprintf(stderr, "CopyFileFromDevice failed\n");
      return 1;
    }
    agent_rates.push_back(megabytes / Seconds(std::chrono::steady_clock::now() - start));
    start = std::chrono::steady_clock::now();
    uint64_t total = 0;
    if (!DirectRead(udid, "/big.bin", direct_target, &total) || total != (mib << 20)) {
      std::fprintf(stderr, "direct read failed\n");
      return 1;
    }
    direct_rates.push_back(megabytes / Seconds(std::chrono::steady_clock::now() - start));
    std::fprintf(stderr, "round %d: agent %.0f MB/s, direct %.0f MB/s\n", round,
                 agent_rates.back(), direct_rates.back());
  }
  const double agent = Median(agent_rates), direct = Median(direct_rates);
  std::printf("file: %llu MiB, median of %d rounds, both written to a PC file\n",
              static_cast<unsigned long long>(mib), rounds);
  std::printf("CopyFileFromDevice (agent):                 %.0f MB/s\n", agent);
  std::printf("libimobiledevice afc_file_read + fwrite:    %.0f MB/s\n", direct);
  std::printf("ratio: %.0f%% (target >= 90%%)\n", 100.0 * agent / direct);
  return 0;
}
