// installation_proxy's command logic on a temporary app folder and media folder.
#include <gtest/gtest.h>

#include <random>

#include "farm/app_farm_builder.h"
#include "farm/file_util.h"
#include "services/apps/instproxy_handler.h"
#include "ipa_builder.h"

namespace devsim::testing {
namespace {

using namespace std::string_literals;

class InstproxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/devsim-instproxy-XXXXXX";
    root_ = mkdtemp(tmpl);
    fs::create_directories(root_ / "media/PublicStaging");
    apps_ = std::make_unique<AppStore>(root_ / "apps");
    media_ = std::make_unique<PathJail>(root_ / "media");
    env_ = std::make_unique<InstproxyEnv>(InstproxyEnv{*apps_, *media_, "17.5.1"});
  }
  void TearDown() override { fs::remove_all(root_); }

  void AddApps(uint64_t n) {
    std::mt19937_64 rng(7);
    AppTotals totals;
    std::string error;
    ASSERT_TRUE(AddFarmApps(*apps_, n, rng, &totals, &error)) << error;
  }

  // Runs one request and returns every message it produced.
  std::vector<Plist> Run(const std::string& xml) {
    Plist req = ParsePlist(xml);
    std::vector<Plist> out;
    EXPECT_TRUE(HandleInstproxyRequest(req.get(), *env_, [&out](Plist m) {
      out.push_back(std::move(m));
      return true;
    }));
    return out;
  }

  std::vector<Plist> Command(const char* command, const std::string& extra) {
    return Run(std::string("<plist><dict><key>Command</key><string>") + command +
               "</string>" + extra + "</dict></plist>");
  }

  std::vector<Plist> Install(const std::string& staged) {
    return Command("Install", "<key>PackagePath</key><string>" + staged + "</string>");
  }

  fs::path root_;
  std::unique_ptr<AppStore> apps_;
  std::unique_ptr<PathJail> media_;
  std::unique_ptr<InstproxyEnv> env_;
};

const char* kUserBrowse =
    "<key>ClientOptions</key><dict><key>ApplicationType</key><string>User</string>"
    "<key>ReturnAttributes</key><array><string>CFBundleIdentifier</string>"
    "<string>StaticDiskUsage</string><string>iTunesMetadata</string></array></dict>";

TEST_F(InstproxyTest, BrowseSendsPagesOfTenThenComplete) {
  AddApps(23);
  auto msgs = Command("Browse", kUserBrowse);
  ASSERT_EQ(msgs.size(), 4u);
  uint64_t seen = 0;
  for (size_t i = 0; i < 3; ++i) {
    plist_t page = msgs[i].get();
    EXPECT_EQ(DictString(page, "Status"), "BrowsingApplications");
    EXPECT_EQ(DictUint(page, "CurrentIndex"), seen);
    uint64_t amount = *DictUint(page, "CurrentAmount");
    EXPECT_EQ(amount, plist_array_get_size(DictItem(page, "CurrentList")));
    seen += amount;
  }
  EXPECT_EQ(seen, 23u) << "system apps are not User apps";
  EXPECT_EQ(DictString(msgs[3].get(), "Status"), "Complete");
}

TEST_F(InstproxyTest, BrowseReturnsOnlyRequestedAttributes) {
  AddApps(8);  // the eighth app has no store metadata
  auto msgs = Command("Browse", kUserBrowse);
  plist_t list = DictItem(msgs[0].get(), "CurrentList");
  size_t with_metadata = 0;
  for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
    plist_t app = plist_array_get_item(list, i);
    for (const std::string& key : DictKeys(app)) {
      EXPECT_TRUE(key == "CFBundleIdentifier" || key == "StaticDiskUsage" ||
                  key == "iTunesMetadata")
          << key;
    }
    EXPECT_TRUE(DictUint(app, "StaticDiskUsage").has_value());
    if (auto meta = DictData(app, "iTunesMetadata")) {
      ++with_metadata;
      Plist parsed = ParsePlist(*meta);
      EXPECT_EQ(DictString(parsed.get(), "softwareVersionBundleId"),
                DictString(app, "CFBundleIdentifier"));
    }
  }
  EXPECT_EQ(with_metadata, 7u);
}

TEST_F(InstproxyTest, BrowseWithoutAttributesLeavesOutExpensiveKeys) {
  AddApps(2);
  auto msgs = Command("Browse", "");
  plist_t list = DictItem(msgs[0].get(), "CurrentList");
  ASSERT_EQ(plist_array_get_size(list), 10u) << "8 system and 2 user apps, no type filter";
  for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
    plist_t app = plist_array_get_item(list, i);
    EXPECT_TRUE(DictString(app, "Path").has_value());
    EXPECT_FALSE(DictItem(app, "StaticDiskUsage"));
    EXPECT_FALSE(DictItem(app, "ApplicationSINF"));
  }
}

TEST_F(InstproxyTest, BrowseOfNoMatchingAppsIsJustComplete) {
  auto msgs = Command("Browse", kUserBrowse);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(DictString(msgs[0].get(), "Status"), "Complete");
}

TEST_F(InstproxyTest, InstallReportsStepsAndKeepsPackageData) {
  ASSERT_TRUE(WriteZip(root_ / "media/PublicStaging/a.ipa",
                       PackageMembers("com.example.alpha", "Alpha", "3")));
  auto msgs = Install("PublicStaging/a.ipa");
  ASSERT_GT(msgs.size(), 3u);
  uint64_t last = 0;
  for (size_t i = 0; i + 1 < msgs.size(); ++i) {
    auto pct = DictUint(msgs[i].get(), "PercentComplete");
    ASSERT_TRUE(pct.has_value());
    EXPECT_GE(*pct, last);
    last = *pct;
  }
  EXPECT_EQ(DictString(msgs.back().get(), "Status"), "Complete");
  EXPECT_FALSE(DictItem(msgs.back().get(), "PercentComplete"));

  Plist attrs = apps_->Attributes("com.example.alpha");
  ASSERT_TRUE(attrs);
  EXPECT_EQ(DictString(attrs.get(), "CFBundleVersion"), "3");
  EXPECT_EQ(DictString(attrs.get(), "ApplicationType"), "User");
  EXPECT_GT(DictUint(attrs.get(), "StaticDiskUsage").value_or(0), 5000u);
  EXPECT_EQ(apps_->Sinf("com.example.alpha"), "\0\0\0\x10sinf-of-com.example.alpha"s);
  EXPECT_TRUE(apps_->ITunesMetadata("com.example.alpha").has_value());
  EXPECT_EQ(apps_->Icon("com.example.alpha")->substr(0, 4), "\x89PNG");
}

TEST_F(InstproxyTest, UpgradeReplacesVersionAndKeepsContainer) {
  ASSERT_TRUE(WriteZip(root_ / "media/PublicStaging/a.ipa", PackageMembers("com.example.a", "A", "1")));
  Install("PublicStaging/a.ipa");
  std::string container = *DictString(apps_->Attributes("com.example.a").get(), "Container");
  ASSERT_TRUE(WriteZip(root_ / "media/PublicStaging/a.ipa", PackageMembers("com.example.a", "A", "2")));
  auto msgs = Command("Upgrade", "<key>PackagePath</key><string>PublicStaging/a.ipa</string>");
  EXPECT_EQ(DictString(msgs.back().get(), "Status"), "Complete");
  Plist attrs = apps_->Attributes("com.example.a");
  EXPECT_EQ(DictString(attrs.get(), "CFBundleVersion"), "2");
  EXPECT_EQ(DictString(attrs.get(), "Container"), container);
  EXPECT_EQ(DictUint(attrs.get(), "SequenceNumber"), 2u);
}

// The final message of a failed install names the error and carries no Status.
void ExpectError(const std::vector<Plist>& msgs, const char* error) {
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(DictString(msgs.back().get(), "Error"), error);
  EXPECT_FALSE(DictItem(msgs.back().get(), "Status"));
  EXPECT_TRUE(DictString(msgs.back().get(), "ErrorDescription").has_value());
}

TEST_F(InstproxyTest, BrokenPackagesFailWithoutInstalling) {
  ASSERT_TRUE(WriteFileAtomic(root_ / "media/junk.ipa", std::string("PK\x03\x04 not a zip", 15)));
  ExpectError(Install("junk.ipa"), "PackageExtractionFailed");

  ASSERT_TRUE(WriteZip(root_ / "media/empty.ipa", {{"readme.txt", "no payload"}}));
  ExpectError(Install("empty.ipa"), "PackageInspectionFailed");

  ZipMembers bad_plist = PackageMembers("com.example.b", "B", "1");
  bad_plist[0].second = "<plist><dict><key>unterminated";
  ASSERT_TRUE(WriteZip(root_ / "media/plist.ipa", bad_plist));
  ExpectError(Install("plist.ipa"), "PackageInspectionFailed");

  ZipMembers no_exe = PackageMembers("com.example.c", "C", "1");
  no_exe.erase(no_exe.begin() + 1);
  ASSERT_TRUE(WriteZip(root_ / "media/noexe.ipa", no_exe));
  ExpectError(Install("noexe.ipa"), "MissingBundleExecutable");

  ASSERT_TRUE(WriteZip(root_ / "media/new.ipa", PackageMembers("com.example.d", "D", "1", "18.0")));
  ExpectError(Install("new.ipa"), "DeviceOSVersionTooLow");

  ExpectError(Install("missing.ipa"), "PackageExtractionFailed");
  ExpectError(Command("Install", ""), "MissingPackagePath");
  EXPECT_TRUE(apps_->BundleIds().empty());
}

TEST_F(InstproxyTest, PackagePathCannotLeaveTheMediaFolder) {
  ASSERT_TRUE(WriteZip(root_ / "outside.ipa", PackageMembers("com.example.out", "Out", "1")));
  ExpectError(Install("../outside.ipa"), "PackageExtractionFailed");
  fs::create_symlink("/../../outside.ipa", root_ / "media/link.ipa");
  ExpectError(Install("link.ipa"), "PackageExtractionFailed");
  EXPECT_FALSE(apps_->Installed("com.example.out"));
}

TEST_F(InstproxyTest, BundleIdsThatAreNotFolderNamesAreRefused) {
  ASSERT_TRUE(WriteZip(root_ / "media/evil.ipa", PackageMembers("../../evil", "Evil", "1")));
  ExpectError(Install("evil.ipa"), "MissingBundleIdentifier");
  EXPECT_FALSE(fs::exists(root_ / "evil"));
}

TEST_F(InstproxyTest, UninstallRemovesAndToleratesUnknownIds) {
  AddApps(3);
  std::vector<std::string> before = apps_->BundleIds();
  std::string user_id;
  for (const auto& id : before) {
    if (id.rfind("com.apple.", 0) != 0) user_id = id;
  }
  auto msgs = Command("Uninstall", "<key>ApplicationIdentifier</key><string>" + user_id + "</string>");
  EXPECT_EQ(DictString(msgs.back().get(), "Status"), "Complete");
  EXPECT_EQ(DictUint(msgs[0].get(), "PercentComplete"), 50u);
  EXPECT_FALSE(apps_->Installed(user_id));
  EXPECT_EQ(apps_->BundleIds().size(), before.size() - 1);

  auto unknown = Command("Uninstall", "<key>ApplicationIdentifier</key><string>com.nobody.x</string>");
  EXPECT_EQ(DictString(unknown.back().get(), "Status"), "Complete");
  ExpectError(Command("Uninstall", "<key>ApplicationIdentifier</key><string>com.apple.mobilesafari</string>"),
              "UninstallProhibited");
  EXPECT_TRUE(apps_->Installed("com.apple.mobilesafari"));
  ExpectError(Command("Uninstall", ""), "MissingApplicationIdentifier");
}

TEST_F(InstproxyTest, ArchiveWritesAnInstallablePackage) {
  ASSERT_TRUE(WriteZip(root_ / "media/a.ipa", PackageMembers("com.example.arch", "Arch", "5")));
  Install("a.ipa");
  auto msgs = Command("Archive", "<key>ApplicationIdentifier</key><string>com.example.arch</string>");
  EXPECT_EQ(DictString(msgs.back().get(), "Status"), "Complete");
  EXPECT_FALSE(apps_->Installed("com.example.arch")) << "archiving without SkipUninstall removes";
  ASSERT_TRUE(fs::exists(root_ / "media/ApplicationArchives/com.example.arch.zip"));

  auto again = Install("ApplicationArchives/com.example.arch.zip");
  EXPECT_EQ(DictString(again.back().get(), "Status"), "Complete");
  EXPECT_EQ(DictString(apps_->Attributes("com.example.arch").get(), "CFBundleVersion"), "5");
  EXPECT_TRUE(apps_->Sinf("com.example.arch").has_value());

  ExpectError(Command("Archive", "<key>ApplicationIdentifier</key><string>com.example.arch</string>"
                                 "<key>ClientOptions</key><dict><key>SkipUninstall</key><true/></dict>"),
              "AlreadyArchived");
  Command("RemoveArchive", "<key>ApplicationIdentifier</key><string>com.example.arch</string>");
  EXPECT_FALSE(fs::exists(root_ / "media/ApplicationArchives/com.example.arch.zip"));
  auto kept = Command("Archive", "<key>ApplicationIdentifier</key><string>com.example.arch</string>"
                                 "<key>ClientOptions</key><dict><key>SkipUninstall</key><true/></dict>");
  EXPECT_EQ(DictString(kept.back().get(), "Status"), "Complete");
  EXPECT_TRUE(apps_->Installed("com.example.arch"));
  ExpectError(Command("Archive", "<key>ApplicationIdentifier</key><string>com.nobody</string>"),
              "LookupFailed");
}

TEST_F(InstproxyTest, RestoreReinstallsFromTheArchiveAndRemovesIt) {
  ASSERT_TRUE(WriteZip(root_ / "media/r.ipa", PackageMembers("com.example.rest", "Rest", "9")));
  Install("r.ipa");
  Command("Archive", "<key>ApplicationIdentifier</key><string>com.example.rest</string>");
  ASSERT_FALSE(apps_->Installed("com.example.rest"));
  auto listed = Command("LookupArchives", "");
  plist_t entry = DictItem(DictItem(listed.back().get(), "LookupResult"), "com.example.rest");
  EXPECT_GT(DictUint(entry, "ArchiveSize").value_or(0), 0u);

  auto restored = Command("Restore", "<key>ApplicationIdentifier</key><string>com.example.rest</string>");
  EXPECT_EQ(DictString(restored.back().get(), "Status"), "Complete");
  EXPECT_EQ(DictString(apps_->Attributes("com.example.rest").get(), "CFBundleVersion"), "9");
  EXPECT_FALSE(fs::exists(root_ / "media/ApplicationArchives/com.example.rest.zip"));
  EXPECT_EQ(DictKeys(DictItem(Command("LookupArchives", "").back().get(), "LookupResult")).size(), 0u);
  ExpectError(Command("Restore", "<key>ApplicationIdentifier</key><string>com.example.rest</string>"),
              "LookupFailed");
}

TEST_F(InstproxyTest, LookupAndUnknownCommands) {
  AddApps(1);
  auto msgs = Command("Lookup",
                      "<key>ClientOptions</key><dict><key>BundleIDs</key><array>"
                      "<string>com.apple.mobilesafari</string><string>com.nobody</string></array></dict>");
  ASSERT_EQ(msgs.size(), 1u);
  plist_t result = DictItem(msgs[0].get(), "LookupResult");
  EXPECT_EQ(DictKeys(result), std::vector<std::string>{"com.apple.mobilesafari"});
  ExpectError(Command("Frobnicate", ""), "UnknownCommand");
  ExpectError(Run("<plist><dict/></plist>"), "MissingCommand");
}

TEST(CompareVersions, ComparesNumerically) {
  EXPECT_LT(CompareVersions("9.3", "10.0"), 0);
  EXPECT_EQ(CompareVersions("17.0", "17"), 0);
  EXPECT_GT(CompareVersions("17.5.1", "17.5"), 0);
}

}  // namespace
}  // namespace devsim::testing
