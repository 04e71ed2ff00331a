// com.apple.atc (AirTraffic), as far as storage figures go: little-endian framed binary
// property lists. The device greets with Capabilities; a host PowerAssertion is answered
// with InstalledAssets, AssetMetrics and SyncAllowed (or, for a farm flag, only with Ping or
// with IdleExit and a close); AssetMetrics requests get AssetMetrics; Ping gets Pong.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mux/byte_stream.h"
#include "plist/plist_frame.h"
#include "plist/plist_ptr.h"
#include "lockdown/service_registry.h"

namespace devsim {

// AirTraffic messages are small; anything larger than this is refused before allocation.
constexpr uint32_t kMaxAtcMessage = 4u << 20;

std::string EncodeAtcFrame(std::string_view body);
uint32_t DecodeAtcLength(const uint8_t* four_bytes);
FrameStatus ReadAtcFrame(ByteStream& in, uint32_t max, std::string* body);

enum class AtcAnswer { kMetrics, kPing, kIdleExit };

struct AtcConfig {
  AtcAnswer answer = AtcAnswer::kMetrics;
  Plist metrics;  // the AssetMetrics Params dictionary
};

// Reads atc.plist ({Answer: AssetMetrics|Ping|IdleExit, AssetMetrics: {...}}).
AtcConfig LoadAtcConfig(plist_t file);

class AtcLink {
 public:
  explicit AtcLink(const AtcConfig& config) : config_(config) {}
  // What the device sends when the link opens.
  std::vector<Plist> Greeting();
  // The messages answering one host message; `close` is set when the link ends after them.
  std::vector<Plist> Handle(plist_t message, bool* close);

 private:
  Plist Message(const char* command, Plist params, int type = 0, uint64_t id = 0);
  const AtcConfig& config_;
  uint64_t next_id_ = 1;
};

void ServeAtc(ServiceContext& ctx);

}  // namespace devsim
