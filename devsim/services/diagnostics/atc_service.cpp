#include "services/diagnostics/atc_service.h"

namespace devsim {

std::string EncodeAtcFrame(std::string_view body) {
  uint32_t n = static_cast<uint32_t>(body.size());
  std::string out;
  out.reserve(4 + body.size());
  for (int i = 0; i < 4; ++i) out += static_cast<char>(n >> (8 * i));
  out.append(body);
  return out;
}

uint32_t DecodeAtcLength(const uint8_t* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

FrameStatus ReadAtcFrame(ByteStream& in, uint32_t max, std::string* body) {
  uint8_t hdr[4];
  ssize_t first = in.ReadSome(hdr, sizeof hdr);
  if (first <= 0) return FrameStatus::kClosed;
  if (static_cast<size_t>(first) < sizeof hdr &&
      !in.ReadExact(hdr + first, sizeof hdr - static_cast<size_t>(first))) {
    return FrameStatus::kTruncated;
  }
  uint32_t len = DecodeAtcLength(hdr);
  if (len == 0) return FrameStatus::kEmpty;
  if (len > max) return FrameStatus::kTooLong;
  body->resize(len);
  return in.ReadExact(body->data(), len) ? FrameStatus::kOk : FrameStatus::kTruncated;
}

AtcConfig LoadAtcConfig(plist_t file) {
  AtcConfig c;
  std::string answer = DictString(file, "Answer").value_or("AssetMetrics");
  if (answer == "Ping") c.answer = AtcAnswer::kPing;
  if (answer == "IdleExit") c.answer = AtcAnswer::kIdleExit;
  plist_t metrics = DictItem(file, "AssetMetrics");
  c.metrics = IsDict(metrics) ? Copy(metrics) : NewDict();
  return c;
}

Plist AtcLink::Message(const char* command, Plist params, int type, uint64_t id) {
  Plist m = NewDict();
  SetString(m.get(), "Command", command);
  SetUint(m.get(), "Type", static_cast<uint64_t>(type));
  SetUint(m.get(), "Id", type == 0 ? next_id_++ : id);
  SetUint(m.get(), "Session", 0);
  SetNode(m.get(), "Params", params ? std::move(params) : NewDict());
  return m;
}

std::vector<Plist> AtcLink::Greeting() {
  Plist params = NewDict();
  SetData(params.get(), "GrappaSupportInfo", std::string("\x01\x02\x00\x00", 4));
  std::vector<Plist> out;
  out.push_back(Message("Capabilities", std::move(params)));
  return out;
}

std::vector<Plist> AtcLink::Handle(plist_t message, bool* close) {
  *close = false;
  std::vector<Plist> out;
  std::string command = DictString(message, "Command").value_or("");
  uint64_t id = DictUint(message, "Id").value_or(0);
  if (command == "Ping") {
    out.push_back(Message("Pong", nullptr, 1, id));
  } else if (command == "AssetMetrics") {
    out.push_back(Message("AssetMetrics", Copy(config_.metrics.get()), 1, id));
  } else if (command == "PowerAssertion") {
    switch (config_.answer) {
      case AtcAnswer::kPing:
        out.push_back(Message("Ping", nullptr));
        break;
      case AtcAnswer::kIdleExit:
        out.push_back(Message("IdleExit", nullptr));
        *close = true;
        break;
      case AtcAnswer::kMetrics: {
        out.push_back(Message("InstalledAssets", nullptr));
        out.push_back(Message("AssetMetrics", Copy(config_.metrics.get())));
        Plist allowed = NewDict();
        SetBool(allowed.get(), "AutoSync", false);
        SetBool(allowed.get(), "ManualSync", true);
        SetNode(allowed.get(), "DisabledAssetTypes", NewArray());
        SetBool(allowed.get(), "PurgeAllowed", true);
        SetBool(allowed.get(), "DataProtected", false);
        SetBool(allowed.get(), "AppInstallationAllowed", true);
        SetBool(allowed.get(), "AppRemovalAllowed", true);
        out.push_back(Message("SyncAllowed", std::move(allowed)));
        break;
      }
    }
  } else if (command == "IdleExit") {
    *close = true;
  }
  // Everything else (Capabilities, HostInfo, Pong, sync messages) needs no answer here.
  return out;
}

void ServeAtc(ServiceContext& ctx) {
  Plist file = ctx.device.dir().empty() ? nullptr : ReadPlistFile(ctx.device.AirTrafficFile());
  AtcConfig config = LoadAtcConfig(file.get());
  if (!DictItem(file.get(), "AssetMetrics")) {
    // A farm without AirTraffic figures still reports the data volume.
    std::string error;
    for (auto [from, to] : {std::pair{"TotalDataCapacity", "_PhysicalSize"},
                            std::pair{"TotalDataAvailable", "_FreeSize"}}) {
      Plist v = ctx.device.GetValue(std::string("com.apple.disk_usage"), std::string(from), true,
                                    &error);
      if (v && plist_get_node_type(v.get()) == PLIST_UINT) SetNode(config.metrics.get(), to, std::move(v));
    }
  }
  AtcLink link(config);
  auto send_all = [&ctx](std::vector<Plist> msgs) {
    for (Plist& m : msgs) {
      if (!ctx.stream.WriteAll(EncodeAtcFrame(ToBinary(m.get())))) return false;
    }
    return true;
  };
  if (!send_all(link.Greeting())) return;
  std::string body;
  for (;;) {
    if (ReadAtcFrame(ctx.stream, kMaxAtcMessage, &body) != FrameStatus::kOk) return;
    Plist msg = ParsePlist(body);
    if (!IsDict(msg.get())) continue;
    bool close = false;
    if (!send_all(link.Handle(msg.get(), &close)) || close) return;
  }
}

}  // namespace devsim
