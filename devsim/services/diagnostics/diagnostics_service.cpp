#include "services/diagnostics/diagnostics_service.h"

#include "plist/plist_frame.h"

namespace devsim {
namespace {

constexpr uint32_t kMaxGestaltKeys = 256;

// Names under which hosts look the battery up: its class and the driver entry names of
// newer and older devices.
bool NamesBattery(const std::string& s) {
  return s == "IOPMPowerSource" || s == "AppleSmartBattery" || s == "AppleARMPMUCharger";
}

Plist WithStatus(const char* status) {
  Plist m = NewDict();
  SetString(m.get(), "Status", status);
  return m;
}

Plist Diagnostics(const char* section, Plist content) {
  Plist diag = NewDict();
  SetNode(diag.get(), section, std::move(content));
  Plist m = WithStatus("Success");
  SetNode(m.get(), "Diagnostics", std::move(diag));
  return m;
}

Plist IORegistry(plist_t req, plist_t battery) {
  std::string name = DictString(req, "EntryName").value_or("");
  std::string cls = DictString(req, "EntryClass").value_or("");
  auto plane = DictString(req, "CurrentPlane");
  if (!name.empty() || !cls.empty()) {
    // An empty name or class matches anything (idevicediagnostics sends an empty class).
    bool match = (name.empty() || NamesBattery(name)) && (cls.empty() || NamesBattery(cls));
    if (!match || !IsDict(battery)) return WithStatus("Failure");
    return Diagnostics("IORegistry", Copy(battery));
  }
  if (plane) {
    // A small plane: the root with the battery as its only child.
    Plist root = NewDict();
    SetString(root.get(), "name", "Root");
    Plist children = NewArray();
    if (IsDict(battery)) {
      Plist child = Copy(battery);
      SetString(child.get(), "name", "AppleSmartBattery");
      plist_array_append_item(children.get(), child.release());
    }
    SetNode(root.get(), "children", std::move(children));
    return Diagnostics("IORegistry", std::move(root));
  }
  return WithStatus("Failure");
}

Plist GasGauge(plist_t battery) {
  Plist g = NewDict();
  for (const char* key : {"CycleCount", "DesignCapacity"}) {
    if (auto v = DictUint(battery, key)) SetUint(g.get(), key, *v);
  }
  if (auto v = DictUint(battery, "AppleRawMaxCapacity")) SetUint(g.get(), "FullChargeCapacity", *v);
  SetString(g.get(), "Status", IsDict(battery) ? "Success" : "Failure");
  return g;
}

Plist MobileGestalt(plist_t req, const std::function<Plist(const std::string&)>& gestalt) {
  plist_t keys = DictItem(req, "MobileGestaltKeys");
  if (!keys || plist_get_node_type(keys) != PLIST_ARRAY) return WithStatus("Failure");
  Plist out = NewDict();
  uint32_t n = std::min(plist_array_get_size(keys), kMaxGestaltKeys);
  for (uint32_t i = 0; i < n; ++i) {
    auto key = StringValue(plist_array_get_item(keys, i));
    if (!key) continue;
    if (Plist v = gestalt(*key)) SetNode(out.get(), key->c_str(), std::move(v));
  }
  SetString(out.get(), "Status", "Success");
  return Diagnostics("MobileGestalt", std::move(out));
}

}  // namespace

DiagnosticsReply HandleDiagnosticsRequest(
    plist_t request, plist_t battery, const std::function<Plist(const std::string&)>& gestalt) {
  DiagnosticsReply r;
  std::string what = DictString(request, "Request").value_or("");
  if (what == "IORegistry") {
    r.message = IORegistry(request, battery);
  } else if (what == "GasGauge") {
    r.message = Diagnostics("GasGauge", GasGauge(battery));
  } else if (what == "All") {
    Plist all = NewDict();
    SetNode(all.get(), "GasGauge", GasGauge(battery));
    for (const char* section : {"WiFi", "NAND", "HDMI"}) SetNode(all.get(), section, WithStatus("Success"));
    r.message = Diagnostics("All", std::move(all));
  } else if (what == "WiFi" || what == "NAND" || what == "HDMI") {
    r.message = Diagnostics(what == "WiFi" ? "WiFi" : what == "NAND" ? "NAND" : "HDMI",
                            WithStatus("Success"));
  } else if (what == "MobileGestalt") {
    r.message = MobileGestalt(request, gestalt);
  } else if (what == "Sleep" || what == "Restart" || what == "Shutdown") {
    r.message = WithStatus("Success");
  } else if (what == "Goodbye") {
    r.message = WithStatus("Success");
    r.close = true;
  } else {
    r.message = WithStatus("UnknownRequest");
  }
  return r;
}

void ServeDiagnostics(ServiceContext& ctx) {
  Plist battery = ctx.device.dir().empty() ? nullptr : ReadPlistFile(ctx.device.BatteryFile());
  auto gestalt = [&ctx](const std::string& key) {
    std::string error;
    return ctx.device.GetValue(std::nullopt, key, true, &error);
  };
  std::string body;
  for (;;) {
    if (ReadFrame(ctx.stream, kMaxLockdownMessage, &body) != FrameStatus::kOk) return;
    Plist request = ParsePlist(body);
    DiagnosticsReply reply;
    if (IsDict(request.get())) {
      reply = HandleDiagnosticsRequest(request.get(), battery.get(), gestalt);
    } else {
      reply.message = WithStatus("Failure");
    }
    if (!WritePlistFrame(ctx.stream, reply.message.get()) || reply.close) return;
  }
}

}  // namespace devsim
