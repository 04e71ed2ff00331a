#include "utility/module/app/ipa_package.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "ipa_builder.h"

namespace {

namespace fs = std::filesystem;
using devsim::testing::PackageMembers;
using devsim::testing::WriteZip;
using devsim::testing::ZipMembers;

class IpaPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ipa-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

ZipMembers Without(ZipMembers members, const std::string& name) {
  std::erase_if(members, [&](const auto& m) { return m.first == name; });
  return members;
}

}  // namespace

TEST_F(IpaPackage, ReadsTheStoreMetadataAndTheBundleInfo) {
  fs::path ipa = dir_ / "a.ipa";
  ASSERT_TRUE(WriteZip(ipa, PackageMembers("com.example.pkg", "Pkg", "1")));
  IpaMembers members = ReadIpaMembers(ipa.string());
  EXPECT_TRUE(members.opened);
  ASSERT_TRUE(members.itunes_metadata);
  ASSERT_TRUE(members.info_plist);
  EXPECT_EQ(IpaBundleId(members), "com.example.pkg");
}

TEST_F(IpaPackage, BundleIdFallsBackToInfoPlistWithoutStoreMetadata) {
  fs::path ipa = dir_ / "b.ipa";
  ASSERT_TRUE(WriteZip(ipa, Without(PackageMembers("com.example.adhoc", "Adhoc", "1"),
                                    "iTunesMetadata.plist")));
  IpaMembers members = ReadIpaMembers(ipa.string());
  EXPECT_FALSE(members.itunes_metadata);
  EXPECT_EQ(IpaBundleId(members), "com.example.adhoc");
}

TEST_F(IpaPackage, OnlyABundleDirectlyUnderPayloadCounts) {
  fs::path ipa = dir_ / "c.ipa";
  ASSERT_TRUE(WriteZip(ipa, {{"Payload/Outer.app/Plugins/Inner.app/Info.plist", "x"},
                             {"Other/X.app/Info.plist", "y"}}));
  IpaMembers members = ReadIpaMembers(ipa.string());
  EXPECT_TRUE(members.opened);
  EXPECT_FALSE(members.info_plist);
  EXPECT_EQ(IpaBundleId(members), "");
}

TEST_F(IpaPackage, OversizedMemberIsNotRead) {
  fs::path ipa = dir_ / "d.ipa";
  ASSERT_TRUE(WriteZip(ipa, {{"iTunesMetadata.plist", std::string(kMaxIpaMemberBytes + 1, ' ')}}));
  IpaMembers members = ReadIpaMembers(ipa.string());
  EXPECT_TRUE(members.opened);
  EXPECT_FALSE(members.itunes_metadata);
}

TEST_F(IpaPackage, FileThatIsNotAZipOpensNothing) {
  fs::path junk = dir_ / "junk.ipa";
  std::ofstream(junk) << "PK but not really";
  EXPECT_FALSE(ReadIpaMembers(junk.string()).opened);
  EXPECT_FALSE(ReadIpaMembers((dir_ / "absent.ipa").string()).opened);
}

TEST(StagedPackageName, NeverLeavesTheStagingFolder) {
  EXPECT_EQ(StagedPackageName("com.example.app"), "com.example.app");
  EXPECT_EQ(StagedPackageName("../../etc/passwd"), "_.._.._etc_passwd");
  EXPECT_EQ(StagedPackageName(".."), "_..");
  EXPECT_EQ(StagedPackageName("a\\b c"), "a_b_c");
  EXPECT_EQ(StagedPackageName(""), "package");
}
