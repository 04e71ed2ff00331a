// Requests to installation_proxy, springboardservices, diagnostics_relay and AirTraffic:
// the first byte picks the service, the rest is the request property list. Every handler
// runs against a scratch device folder, which nothing may leave.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string_view>

#include "farm/app_farm_builder.h"
#include "services/diagnostics/atc_service.h"
#include "services/diagnostics/diagnostics_service.h"
#include "services/apps/instproxy_handler.h"
#include "services/apps/springboard_service.h"

namespace {

namespace fs = std::filesystem;

const fs::path& Scratch() {
  static const fs::path dir = [] {
    char tmpl[] = "/tmp/devsim-svc-fuzz-XXXXXX";
    return fs::path(mkdtemp(tmpl));
  }();
  return dir;
}

// The installed apps are made once; media is reset for every input.
devsim::AppStore& Apps() {
  static devsim::AppStore store = [] {
    devsim::AppStore s(Scratch() / "device/apps");
    std::mt19937_64 rng(1);
    devsim::AppTotals totals;
    std::string error;
    devsim::AddFarmApps(s, 3, rng, &totals, &error);
    return s;
  }();
  return store;
}

void ResetMedia(const fs::path& media) {
  std::error_code ec;
  fs::remove_all(media, ec);
  fs::create_directories(media / "PublicStaging", ec);
  std::ofstream(media / "PublicStaging/junk.ipa") << "PK\x03\x04junk";
  fs::create_symlink("/../../..", media / "up", ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace devsim;
  if (size < 1) return 0;
  Apps();  // creates the scratch device before any input runs
  Plist request = ParsePlist(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  if (!IsDict(request.get())) return 0;
  fs::path media = Scratch() / "device/media";
  switch (data[0] % 4) {
    case 0: {
      ResetMedia(media);
      PathJail jail(media);
      // Installs may change the app set; a copy keeps the inputs independent.
      AppStore apps(Scratch() / "device/apps-run");
      std::error_code ec;
      fs::remove_all(apps.dir(), ec);
      fs::copy(Apps().dir(), apps.dir(), fs::copy_options::recursive, ec);
      InstproxyEnv env{apps, jail, "17.5.1"};
      HandleInstproxyRequest(request.get(), env, [](Plist) { return true; });
      break;
    }
    case 1:
      HandleSpringboardRequest(request.get(), Apps());
      break;
    case 2: {
      Plist battery = NewDict();
      SetUint(battery.get(), "CycleCount", 7);
      HandleDiagnosticsRequest(request.get(), battery.get(), [](const std::string&) { return Plist(); });
      break;
    }
    case 3: {
      AtcConfig config = LoadAtcConfig(request.get());
      AtcLink link(config);
      bool close = false;
      link.Handle(request.get(), &close);
      break;
    }
  }
  for (const auto& entry : fs::directory_iterator(Scratch())) {
    if (entry.path().filename() != "device") __builtin_trap();
  }
  for (const auto& entry : fs::directory_iterator(Scratch() / "device")) {
    std::string name = entry.path().filename();
    if (name != "apps" && name != "apps-run" && name != "media") __builtin_trap();
  }
  return 0;
}
