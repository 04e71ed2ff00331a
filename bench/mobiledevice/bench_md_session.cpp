// Time and TLS handshakes of the device calls one agent request makes: connect, check the
// pairing, start/stop/start a session, start AFC and ask it one thing, stop, disconnect.
// Handshakes are counted by the simulator (`vado-devsim stats`).
//
//   bench_md_session [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
  md::testing::Simulator sim;
  const std::string udid = sim.AddDevice(71);
  if (udid.empty() || !sim.Start()) {
    std::fprintf(stderr, "simulator did not start\n");
    return 1;
  }
  md::testing::MonitorThread monitor;
  AMDeviceRef device = monitor.WaitForMessage(kADNCIMessageConnected).device;
  if (!device) return 1;
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
  return 0;
}
