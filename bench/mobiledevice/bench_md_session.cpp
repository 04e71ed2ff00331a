// Time and TLS handshakes of the device calls one agent request makes: connect, check the
// pairing, start/stop/start a session, start AFC and ask it one thing, stop, disconnect.
// Handshakes are counted by the simulator (`vado-devsim stats`).
//
//   bench_md_session [ROUNDS [DEVICES]]
// With DEVICES > 1 it also times one request on every device at once (after each device's
// first request) against one request on one device.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "md_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using md::testing::Str;

uint64_t Handshakes(md::testing::Simulator& sim, const std::string& udid) {
  auto r = sim.harness().Control({"stats", udid});
  const size_t space = r.out.find(' ');
  return space == std::string::npos ? 0 : std::strtoull(r.out.c_str() + space + 1, nullptr, 10);
}

bool OneRequest(AMDeviceRef device) {
  if (AMDeviceConnect(device) != 0 || AMDeviceIsPaired(device) != 1 ||
      AMDeviceValidatePairing(device) != 0) {
    return false;
  }
  AMDeviceStartSession(device);
  AMDeviceStopSession(device);
  if (AMDeviceStartSession(device) != 0) return false;
  AMDServiceConnectionRef service = nullptr;
  bool ok = AMDeviceSecureStartService(device, Str("com.apple.afc"), nullptr, &service) == 0;
  AFCConnectionRef afc = nullptr;
  if (ok) ok = AFCConnectionOpen(AMDServiceConnectionGetSocket(service), 0, &afc) == 0;
  AFCDictionaryRef info = nullptr;
  if (ok) ok = AFCDeviceInfoOpen(afc, &info) == 0;
  if (info) AFCKeyValueClose(info);
  if (afc) AFCConnectionClose(afc);
  if (service) AMDServiceConnectionInvalidate(service);
  AMDeviceStopSession(device);
  AMDeviceDisconnect(device);
  return ok;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  const int devices = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 64) : 1;
  md::testing::Simulator sim;
  std::vector<std::string> udids;
  for (int i = 0; i < devices; ++i) udids.push_back(sim.AddDevice(71 + i));
  if (udids[0].empty() || !sim.Start()) {
    std::fprintf(stderr, "simulator did not start\n");
    return 1;
  }
  md::testing::MonitorThread monitor;
  std::vector<AMDeviceRef> all;
  for (size_t from = 0; all.size() < static_cast<size_t>(devices);) {
    md::testing::Event e = monitor.WaitForMessage(kADNCIMessageConnected, from);
    if (!e.device) return 1;
    all.push_back(e.device);
    from = 0;
    for (const auto& seen : monitor.events()) {
      ++from;
      if (seen.device == e.device && seen.message == kADNCIMessageConnected) break;
    }
  }
  // The device of seed 71 is the measured one.
  AMDeviceRef device = nullptr;
  for (AMDeviceRef d : all) {
    CFTypeRef id = AMDeviceCopyValue(d, nullptr, Str("UniqueDeviceID"));
    if (md::testing::Utf8(id) == udids[0]) device = d;
    if (id) CFRelease(id);
  }
  if (!device) return 1;
  const std::string& udid = udids[0];
  const uint64_t start_count = Handshakes(sim, udid);
  auto t0 = Clock::now();
  if (!OneRequest(device)) return 1;
  const double first_ms = Ms(Clock::now() - t0);
  const uint64_t after_first = Handshakes(sim, udid);
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    t0 = Clock::now();
    if (!OneRequest(device)) return 1;
    times.push_back(Ms(Clock::now() - t0));
  }
  const uint64_t end_count = Handshakes(sim, udid);
  std::sort(times.begin(), times.end());
  std::printf("first request: %.2f ms, %llu TLS handshakes\n", first_ms,
              static_cast<unsigned long long>(after_first - start_count));
  std::printf("later requests (%d): median %.2f ms, p90 %.2f ms, %.2f TLS handshakes each\n",
              rounds, times[times.size() / 2], times[times.size() * 9 / 10],
              double(end_count - after_first) / rounds);
  if (devices > 1) {
    // First requests on every device at once (each makes its session), then later ones.
    for (const char* label : {"first", "later"}) {
      t0 = Clock::now();
      std::vector<std::thread> threads;
      std::vector<int> ok(all.size(), 0);
      for (size_t i = 0; i < all.size(); ++i) {
        threads.emplace_back([&, i] { ok[i] = OneRequest(all[i]) ? 1 : 0; });
      }
      for (auto& t : threads) t.join();
      const double wall = Ms(Clock::now() - t0);
      int good = 0;
      for (int v : ok) good += v;
      std::printf("%d devices at once, %s requests: %.2f ms wall (%d succeeded)\n", devices,
                  label, wall, good);
    }
  }
  return 0;
}
