// The socket-free halves of springboardservices, diagnostics_relay and AirTraffic, and the
// PNG encoder behind the icons.
#include <gtest/gtest.h>

#include <random>

#include "farm/app_farm_builder.h"
#include "services/diagnostics/atc_service.h"
#include "services/diagnostics/diagnostics_service.h"
#include "png_check.h"
#include "services/apps/png_writer.h"
#include "services/apps/springboard_service.h"

namespace devsim::testing {
namespace {

TEST(PngWriter, EncodesPixelsADecoderGetsBack) {
  std::string rgba;
  for (int i = 0; i < 3 * 2 * 4; ++i) rgba += static_cast<char>(i * 7);
  PngInfo png = CheckPng(EncodePng(3, 2, rgba));
  ASSERT_TRUE(png.valid);
  EXPECT_EQ(png.width, 3u);
  EXPECT_EQ(png.height, 2u);
  EXPECT_EQ(png.pixels, rgba);
}

TEST(PngWriter, RefusesSizesThatDoNotMatch) {
  EXPECT_EQ(EncodePng(2, 2, std::string(15, 'x')), "");
  EXPECT_EQ(EncodePng(0, 1, ""), "");
}

TEST(PngWriter, IconsDifferByBundleIdAndRepeatForTheSameId) {
  std::string a = MakeIconPng("com.example.a"), b = MakeIconPng("com.example.b");
  EXPECT_TRUE(CheckPng(a).valid);
  EXPECT_EQ(CheckPng(a).width, 120u);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, MakeIconPng("com.example.a"));
}

class SpringboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/devsim-sb-XXXXXX";
    root_ = mkdtemp(tmpl);
    store_ = std::make_unique<AppStore>(root_ / "apps");
    std::mt19937_64 rng(1);
    AppTotals totals;
    std::string error;
    ASSERT_TRUE(AddFarmApps(*store_, 30, rng, &totals, &error));
  }
  void TearDown() override { fs::remove_all(root_); }
  Plist Ask(const char* command, const char* id = nullptr) {
    Plist req = NewDict();
    SetString(req.get(), "command", command);
    if (id) SetString(req.get(), "bundleId", id);
    return HandleSpringboardRequest(req.get(), *store_);
  }
  fs::path root_;
  std::unique_ptr<AppStore> store_;
};

TEST_F(SpringboardTest, IconOfAnInstalledAppIsItsStoredPng) {
  std::string id = store_->BundleIds().back();
  Plist reply = Ask("getIconPNGData", id.c_str());
  auto png = DictData(reply.get(), "pngData");
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(*png, *store_->Icon(id));
  EXPECT_TRUE(CheckPng(*png).valid);
}

TEST_F(SpringboardTest, UnknownAppGetsTheGenericIconAndNoIdGetsNoData) {
  auto generic = DictData(Ask("getIconPNGData", "com.nobody.app").get(), "pngData");
  ASSERT_TRUE(generic.has_value());
  EXPECT_TRUE(CheckPng(*generic).valid);
  EXPECT_FALSE(DictItem(Ask("getIconPNGData").get(), "pngData"));
  EXPECT_FALSE(Ask("setIconState")) << "no reply expected";
}

TEST_F(SpringboardTest, IconStateHasTheDockAndEveryApp) {
  Plist state = Ask("getIconState");
  ASSERT_EQ(plist_get_node_type(state.get()), PLIST_ARRAY);
  size_t icons = 0;
  for (uint32_t i = 0; i < plist_array_get_size(state.get()); ++i) {
    icons += plist_array_get_size(plist_array_get_item(state.get(), i));
  }
  EXPECT_EQ(icons, store_->BundleIds().size());
  EXPECT_EQ(plist_array_get_size(plist_array_get_item(state.get(), 0)), 4u);
}

Plist Battery() {
  Plist b = NewDict();
  SetUint(b.get(), "CycleCount", 321);
  SetUint(b.get(), "DesignCapacity", 3000);
  SetUint(b.get(), "AppleRawMaxCapacity", 2800);
  return b;
}

DiagnosticsReply Diag(const std::string& xml, plist_t battery) {
  Plist req = ParsePlist(xml);
  return HandleDiagnosticsRequest(req.get(), battery, [](const std::string& key) {
    return key == "ProductType" ? Plist(plist_new_string("iPhone14,5")) : nullptr;
  });
}

plist_t Section(const DiagnosticsReply& r, const char* name) {
  return DictItem(DictItem(r.message.get(), "Diagnostics"), name);
}

TEST(Diagnostics, BatteryEntryByClassOrByNameWithEmptyClass) {
  Plist battery = Battery();
  auto by_class = Diag("<plist><dict><key>Request</key><string>IORegistry</string>"
                       "<key>EntryClass</key><string>IOPMPowerSource</string></dict></plist>",
                       battery.get());
  EXPECT_EQ(DictString(by_class.message.get(), "Status"), "Success");
  EXPECT_EQ(DictUint(Section(by_class, "IORegistry"), "CycleCount"), 321u);
  auto by_name = Diag("<plist><dict><key>Request</key><string>IORegistry</string>"
                      "<key>EntryName</key><string>IOPMPowerSource</string>"
                      "<key>EntryClass</key><string></string></dict></plist>",
                      battery.get());
  EXPECT_EQ(DictUint(Section(by_name, "IORegistry"), "CycleCount"), 321u);
  EXPECT_FALSE(by_name.close);
}

TEST(Diagnostics, UnknownEntriesAndMissingBatteryFail) {
  Plist battery = Battery();
  auto other = Diag("<plist><dict><key>Request</key><string>IORegistry</string>"
                    "<key>EntryName</key><string>AppleBCMWLAN</string></dict></plist>",
                    battery.get());
  EXPECT_EQ(DictString(other.message.get(), "Status"), "Failure");
  auto none = Diag("<plist><dict><key>Request</key><string>IORegistry</string>"
                   "<key>EntryClass</key><string>IOPMPowerSource</string></dict></plist>",
                   nullptr);
  EXPECT_EQ(DictString(none.message.get(), "Status"), "Failure");
}

TEST(Diagnostics, GasGaugeGestaltUnknownAndGoodbye) {
  Plist battery = Battery();
  auto gauge = Diag("<plist><dict><key>Request</key><string>GasGauge</string></dict></plist>",
                    battery.get());
  EXPECT_EQ(DictUint(Section(gauge, "GasGauge"), "FullChargeCapacity"), 2800u);
  auto gestalt = Diag("<plist><dict><key>Request</key><string>MobileGestalt</string>"
                      "<key>MobileGestaltKeys</key><array><string>ProductType</string>"
                      "<string>Nope</string></array></dict></plist>",
                      battery.get());
  EXPECT_EQ(DictString(Section(gestalt, "MobileGestalt"), "ProductType"), "iPhone14,5");
  EXPECT_FALSE(DictItem(Section(gestalt, "MobileGestalt"), "Nope"));
  auto unknown = Diag("<plist><dict><key>Request</key><string>Dance</string></dict></plist>",
                      battery.get());
  EXPECT_EQ(DictString(unknown.message.get(), "Status"), "UnknownRequest");
  auto bye = Diag("<plist><dict><key>Request</key><string>Goodbye</string></dict></plist>",
                  battery.get());
  EXPECT_EQ(DictString(bye.message.get(), "Status"), "Success");
  EXPECT_TRUE(bye.close);
}

TEST(AtcWire, LengthIsLittleEndian) {
  std::string frame = EncodeAtcFrame("abc");
  EXPECT_EQ(frame, std::string("\x03\x00\x00\x00" "abc", 7));
  EXPECT_EQ(DecodeAtcLength(reinterpret_cast<const uint8_t*>("\x00\x01\x00\x00")), 256u);
}

AtcConfig Config(const char* answer) {
  Plist file = NewDict();
  SetString(file.get(), "Answer", answer);
  Plist metrics = NewDict();
  SetUint(metrics.get(), "_PhysicalSize", 1000);
  SetUint(metrics.get(), "_FreeSize", 400);
  SetNode(file.get(), "AssetMetrics", std::move(metrics));
  return LoadAtcConfig(file.get());
}

Plist HostMessage(const char* command, uint64_t id) {
  Plist m = NewDict();
  SetString(m.get(), "Command", command);
  SetUint(m.get(), "Id", id);
  SetUint(m.get(), "Session", 0);
  return m;
}

std::vector<std::string> Commands(const std::vector<Plist>& msgs) {
  std::vector<std::string> out;
  for (const auto& m : msgs) out.push_back(DictString(m.get(), "Command").value_or("?"));
  return out;
}

TEST(AtcLink, PowerAssertionGetsTheMetricsAmongTheUsualBurst) {
  AtcConfig config = Config("AssetMetrics");
  AtcLink link(config);
  EXPECT_EQ(Commands(link.Greeting()), std::vector<std::string>{"Capabilities"});
  bool close = true;
  auto msgs = link.Handle(HostMessage("PowerAssertion", 1).get(), &close);
  EXPECT_FALSE(close);
  ASSERT_EQ(Commands(msgs), (std::vector<std::string>{"InstalledAssets", "AssetMetrics", "SyncAllowed"}));
  plist_t params = DictItem(msgs[1].get(), "Params");
  EXPECT_EQ(DictUint(params, "_PhysicalSize"), 1000u);
  EXPECT_EQ(DictUint(params, "_FreeSize"), 400u);
}

TEST(AtcLink, PingAndIdleExitProfilesSendNoMetrics) {
  AtcConfig ping = Config("Ping");
  AtcLink a(ping);
  bool close = false;
  EXPECT_EQ(Commands(a.Handle(HostMessage("PowerAssertion", 1).get(), &close)),
            std::vector<std::string>{"Ping"});
  EXPECT_FALSE(close);
  AtcConfig idle = Config("IdleExit");
  AtcLink b(idle);
  EXPECT_EQ(Commands(b.Handle(HostMessage("PowerAssertion", 1).get(), &close)),
            std::vector<std::string>{"IdleExit"});
  EXPECT_TRUE(close);
}

TEST(AtcLink, RequestsAreAnsweredWithTheirId) {
  AtcConfig config = Config("Ping");
  AtcLink link(config);
  bool close = false;
  auto pong = link.Handle(HostMessage("Ping", 42).get(), &close);
  ASSERT_EQ(Commands(pong), std::vector<std::string>{"Pong"});
  EXPECT_EQ(DictUint(pong[0].get(), "Id"), 42u);
  EXPECT_EQ(DictUint(pong[0].get(), "Type"), 1u);
  auto metrics = link.Handle(HostMessage("AssetMetrics", 43).get(), &close);
  ASSERT_EQ(Commands(metrics), std::vector<std::string>{"AssetMetrics"});
  EXPECT_EQ(DictUint(metrics[0].get(), "Id"), 43u);
  EXPECT_TRUE(link.Handle(HostMessage("HostInfo", 44).get(), &close).empty());
}

}  // namespace
}  // namespace devsim::testing
