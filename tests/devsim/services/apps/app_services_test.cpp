// installation_proxy, springboardservices, diagnostics_relay and AirTraffic on a running
// simulator, driven by Debian's tools and by libimobiledevice's client API.
#include <gtest/gtest.h>

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <libimobiledevice/sbservices.h>

#include <sstream>

#include "services/apps/app_store.h"
#include "services/diagnostics/atc_service.h"
#include "farm/file_util.h"
#include "ipa_builder.h"
#include "png_check.h"
#include "sim_harness.h"

namespace devsim::testing {
namespace {

DeviceSpec Spec(uint64_t seed, uint64_t apps) {
  DeviceSpec s;
  s.seed = seed;
  s.media_files = 1;
  s.apps = apps;
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

fs::path DeviceDir(const SimHarness& sim, const std::string& udid) {
  return sim.farm_dir() / "devices" / udid;
}

TEST(MkFarm, AppsAndAirTrafficOptionsShapeTheDevice) {
  SimHarness sim;
  fs::path farm = sim.dir() / "cli-farm";
  ToolResult made = sim.Run({VADO_DEVSIM_PATH, "mkfarm", farm.string(), "--apps", "5",
                             "--atc-answer", "Ping", "--seed", "4"});
  ASSERT_EQ(made.status, 0) << made.err;
  std::string udid = made.out.substr(0, made.out.find('\n'));
  fs::path dev = farm / "devices" / udid;
  AppStore store(dev / "apps");
  size_t user = 0;
  for (const std::string& id : store.BundleIds()) {
    Plist attrs = store.Attributes(id);
    if (DictString(attrs.get(), "ApplicationType") == "User") ++user;
  }
  EXPECT_EQ(user, 5u);
  Plist atc = ReadPlistFile(dev / "atc.plist");
  EXPECT_EQ(DictString(atc.get(), "Answer"), "Ping");
  EXPECT_EQ(DictUint(DictItem(DictItem(atc.get(), "AssetMetrics"), "Application"), "_Count"), 5u);
  EXPECT_EQ(sim.Run({VADO_DEVSIM_PATH, "mkfarm", farm.string(), "--atc-answer", "Sometimes"}).status, 2);
  EXPECT_EQ(sim.Run({VADO_DEVSIM_PATH, "mkfarm", farm.string(), "--apps", "5001"}).status, 2);
}

TEST(AppTools, ListingShowsEveryUserAppOfTheFarm) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(11, 25));
  ASSERT_TRUE(sim.Start());
  ToolResult r = sim.Run({"ideviceinstaller", "-u", udid, "-l"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 26u) << r.out;
  AppStore store(DeviceDir(sim, udid) / "apps");
  for (const std::string& id : store.BundleIds()) {
    Plist attrs = store.Attributes(id);
    if (DictString(attrs.get(), "ApplicationType") != "User") continue;
    std::string expected = id + ", \"" + *DictString(attrs.get(), "CFBundleVersion") + "\", \"" +
                           *DictString(attrs.get(), "CFBundleDisplayName") + "\"";
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
  }
}

TEST(AppTools, DeviceWithoutUserAppsListsNothing) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(12, 0));
  ASSERT_TRUE(sim.Start());
  ToolResult r = sim.Run({"ideviceinstaller", "-u", udid, "-l"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 1u) << r.out;
  ToolResult sys = sim.Run({"ideviceinstaller", "-u", udid, "-l", "-o", "list_system"});
  EXPECT_NE(sys.out.find("com.apple.mobilesafari, \"1\", \"Safari\""), std::string::npos) << sys.out;
}

TEST(AppTools, InstallThenUninstallAPackage) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(13, 3));
  ASSERT_TRUE(sim.Start());
  fs::path ipa = sim.dir() / "tool.ipa";
  ASSERT_TRUE(WriteZip(ipa, PackageMembers("com.example.tool", "Tool", "42")));
  ToolResult install = sim.Run({"ideviceinstaller", "-u", udid, "-i", ipa.string()});
  EXPECT_EQ(install.status, 0) << install.out << install.err;
  EXPECT_NE(install.out.find("Install: InstallingApplication (60%)"), std::string::npos);
  EXPECT_NE(install.out.find("Install: Complete"), std::string::npos) << install.out;
  ToolResult listed = sim.Run({"ideviceinstaller", "-u", udid, "-l"});
  EXPECT_NE(listed.out.find("com.example.tool, \"42\", \"Tool App\""), std::string::npos)
      << listed.out;
  // The package was staged over AFC where the tool puts it.
  EXPECT_TRUE(fs::exists(DeviceDir(sim, udid) /
                         "fs/private/var/mobile/Media/PublicStaging/com.example.tool"));

  ToolResult uninstall = sim.Run({"ideviceinstaller", "-u", udid, "-U", "com.example.tool"});
  EXPECT_EQ(uninstall.status, 0) << uninstall.err;
  EXPECT_NE(uninstall.out.find("Uninstall: Complete"), std::string::npos) << uninstall.out;
  ToolResult after = sim.Run({"ideviceinstaller", "-u", udid, "-l"});
  EXPECT_EQ(after.out.find("com.example.tool"), std::string::npos);
  EXPECT_EQ(Lines(after.out).size(), 4u);
}

TEST(AppTools, BrokenPackageIsReportedAndNotInstalled) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(14, 0));
  ASSERT_TRUE(sim.Start());
  ZipMembers members = PackageMembers("com.example.broken", "Broken", "1");
  members.erase(members.begin() + 1);  // no executable
  fs::path ipa = sim.dir() / "broken.ipa";
  ASSERT_TRUE(WriteZip(ipa, members));
  ToolResult r = sim.Run({"ideviceinstaller", "-u", udid, "-i", ipa.string()});
  EXPECT_NE((r.out + r.err).find("MissingBundleExecutable"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(r.out.find("Install: Complete"), std::string::npos);
  EXPECT_FALSE(AppStore(DeviceDir(sim, udid) / "apps").Installed("com.example.broken"));
}

TEST(AppTools, ArchiveLeavesAZipInTheMediaFolder) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(15, 2));
  ASSERT_TRUE(sim.Start());
  AppStore store(DeviceDir(sim, udid) / "apps");
  std::string id = store.BundleIds().front();
  ToolResult r = sim.Run({"ideviceinstaller", "-u", udid, "-a", id});
  EXPECT_NE(r.out.find("Archive: Complete"), std::string::npos) << r.out << r.err;
  EXPECT_TRUE(fs::exists(DeviceDir(sim, udid) / "fs/private/var/mobile/Media/ApplicationArchives" /
                         (id + ".zip")));
  EXPECT_TRUE(store.Installed(id)) << "the tool asks to skip the uninstall";
}

TEST(DiagnosticsTools, BatteryEntryCarriesTheFarmCycleCount) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(16, 0));
  ASSERT_TRUE(sim.Start());
  Plist battery = ReadPlistFile(DeviceDir(sim, udid) / "battery.plist");
  uint64_t cycles = DictUint(battery.get(), "CycleCount").value_or(0);
  ASSERT_GT(cycles, 0u);
  ToolResult r = sim.Run({"idevicediagnostics", "-u", udid, "ioregentry", "IOPMPowerSource"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("<key>CycleCount</key>\n\t\t<integer>" + std::to_string(cycles) + "</integer>"),
            std::string::npos)
      << r.out;
  ToolResult other = sim.Run({"idevicediagnostics", "-u", udid, "ioregentry", "AppleBCMWLAN"});
  EXPECT_EQ(other.out.find("CycleCount"), std::string::npos);
}

// A lockdown session that starts one service and hands out a connection to it.
class ServiceClient {
 public:
  ServiceClient(const std::string& udid, const char* service) {
    if (idevice_new_with_options(&device_, udid.c_str(), IDEVICE_LOOKUP_USBMUX) !=
        IDEVICE_E_SUCCESS) {
      device_ = nullptr;
      return;
    }
    if (lockdownd_client_new_with_handshake(device_, &lockdown_, "devsim-test") !=
        LOCKDOWN_E_SUCCESS) {
      lockdown_ = nullptr;
      return;
    }
    lockdownd_start_service(lockdown_, service, &svc_);
  }
  ~ServiceClient() {
    if (conn_) idevice_disconnect(conn_);
    if (svc_) lockdownd_service_descriptor_free(svc_);
    if (lockdown_) lockdownd_client_free(lockdown_);
    if (device_) idevice_free(device_);
  }
  idevice_t device() const { return device_; }
  lockdownd_service_descriptor_t service() const { return svc_; }
  idevice_connection_t Connect() {
    if (svc_ && idevice_connect(device_, svc_->port, &conn_) != IDEVICE_E_SUCCESS) conn_ = nullptr;
    return conn_;
  }

 private:
  idevice_t device_ = nullptr;
  lockdownd_client_t lockdown_ = nullptr;
  lockdownd_service_descriptor_t svc_ = nullptr;
  idevice_connection_t conn_ = nullptr;
};

TEST(SpringboardClient, IconsAreValidPngs) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(17, 3));
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  ServiceClient client(udid, "com.apple.springboardservices");
  ASSERT_TRUE(client.service());
  sbservices_client_t sb = nullptr;
  ASSERT_EQ(sbservices_client_new(client.device(), client.service(), &sb), SBSERVICES_E_SUCCESS);
  AppStore store(DeviceDir(sim, udid) / "apps");
  for (const std::string& id : store.BundleIds()) {
    char* data = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(sbservices_get_icon_pngdata(sb, id.c_str(), &data, &size), SBSERVICES_E_SUCCESS);
    std::string png(data, size);
    free(data);
    EXPECT_TRUE(CheckPng(png).valid) << id;
    EXPECT_EQ(png, store.Icon(id).value_or("")) << id;
  }
  sbservices_client_free(sb);
}

// Sends one AirTraffic message and collects the device's messages until `until` arrives.
std::vector<Plist> AtcExchange(idevice_connection_t conn, const char* command,
                               const std::vector<std::string>& until) {
  Plist msg = NewDict();
  SetString(msg.get(), "Command", command);
  Plist params = NewDict();
  SetBool(params.get(), "Enabled", true);
  SetNode(msg.get(), "Params", std::move(params));
  SetUint(msg.get(), "Session", 0);
  std::string frame = EncodeAtcFrame(ToBinary(msg.get()));
  uint32_t sent = 0;
  idevice_connection_send(conn, frame.data(), static_cast<uint32_t>(frame.size()), &sent);
  std::vector<Plist> got;
  for (int n = 0; n < 10; ++n) {
    uint8_t hdr[4];
    uint32_t r = 0;
    if (idevice_connection_receive_timeout(conn, reinterpret_cast<char*>(hdr), 4, &r, 5000) !=
            IDEVICE_E_SUCCESS ||
        r != 4) {
      break;
    }
    std::string body(DecodeAtcLength(hdr), '\0');
    size_t have = 0;
    while (have < body.size()) {
      if (idevice_connection_receive_timeout(conn, body.data() + have,
                                             static_cast<uint32_t>(body.size() - have), &r,
                                             5000) != IDEVICE_E_SUCCESS) {
        return got;
      }
      have += r;
    }
    got.push_back(ParsePlist(body));
    std::string cmd = DictString(got.back().get(), "Command").value_or("");
    if (std::find(until.begin(), until.end(), cmd) != until.end()) break;
  }
  return got;
}

TEST(AtcClient, PowerAssertionIsAnsweredWithTheFarmMetrics) {
  SimHarness sim;
  std::string udid = sim.AddDevice(Spec(18, 4));
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  ServiceClient client(udid, "com.apple.atc");
  idevice_connection_t conn = client.Connect();
  ASSERT_TRUE(conn);
  auto msgs = AtcExchange(conn, "PowerAssertion", {"AssetMetrics", "Ping", "IdleExit"});
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(DictString(msgs.front().get(), "Command"), "Capabilities");
  EXPECT_EQ(DictString(msgs.back().get(), "Command"), "AssetMetrics");
  Plist file = ReadPlistFile(DeviceDir(sim, udid) / "atc.plist");
  plist_t want = DictItem(file.get(), "AssetMetrics");
  plist_t params = DictItem(msgs.back().get(), "Params");
  EXPECT_EQ(ToXml(params), ToXml(want));
  EXPECT_EQ(DictUint(DictItem(params, "Application"), "_Count"), 4u);
  EXPECT_TRUE(DictItem(DictItem(params, "UserData"), "VoiceMemo")) << "a subcategory";
}

TEST(AtcClient, PingProfileNeverSendsMetrics) {
  SimHarness sim;
  DeviceSpec wanted = Spec(19, 0);
  wanted.atc_answer = "Ping";
  std::string udid = sim.AddDevice(wanted);
  ASSERT_TRUE(sim.Start());
  sim.ExportSocket();
  ServiceClient client(udid, "com.apple.atc");
  idevice_connection_t conn = client.Connect();
  ASSERT_TRUE(conn);
  auto msgs = AtcExchange(conn, "PowerAssertion", {"AssetMetrics", "Ping", "IdleExit"});
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(DictString(msgs.back().get(), "Command"), "Ping");
}

}  // namespace
}  // namespace devsim::testing
