// Input from outside the process: JSON nesting, the application-folder argument and the
// private log and work folders.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/json_text.h"
#include "common/launch_options.h"
#include "common/private_folder.h"

namespace {

namespace fs = std::filesystem;

TEST(UntrustedJson, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  rapidjson::Document doc;
  EXPECT_FALSE(ParseUntrustedJson(std::string(1000000, '['), &doc));
  EXPECT_TRUE(doc.HasParseError());
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_FALSE(ParseUntrustedJson(objects, &doc));
}

TEST(UntrustedJson, NestingUpToTheLimitParses) {
  std::string text = std::string(kMaxJsonNesting, '[') + std::string(kMaxJsonNesting, ']');
  rapidjson::Document doc;
  EXPECT_TRUE(ParseUntrustedJson(text, &doc));
  EXPECT_FALSE(ParseUntrustedJson("[" + text + "]", &doc));
}

TEST(UntrustedJson, BracketsInsideStringsDoNotCount) {
  std::string text = "{\"a\":\"" + std::string(5000, '[') + "\\\"[[\"}";
  rapidjson::Document doc;
  ASSERT_TRUE(ParseUntrustedJson(text, &doc));
  EXPECT_TRUE(doc.IsObject());
  EXPECT_FALSE(ParseUntrustedJson("{\"a\":", &doc));
  EXPECT_FALSE(ParseUntrustedJson("", &doc));
}

std::vector<std::string> ArgsWithFolder(const std::string& folder) {
  return {"0", "1", "0", "0", "0", "1.0", folder, "Product", "0"};
}

TEST(LaunchOptionsFolder, OnlyAPlainFolderNameIsAccepted) {
  EXPECT_TRUE(ParseLaunchOptions(ArgsWithFolder("MyApp")));
  EXPECT_TRUE(ParseLaunchOptions(ArgsWithFolder("")));
  for (const char* bad : {"..", ".", "../x", "a/b", "/etc", "a\\b", "x/.."}) {
    EXPECT_FALSE(ParseLaunchOptions(ArgsWithFolder(bad))) << bad;
  }
  EXPECT_FALSE(ParseLaunchOptions(ArgsWithFolder(std::string("a\0b", 3))));
}

class PrivateFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeFreshPrivateFolder(fs::temp_directory_path().string(), "private-folder-test-");
    ASSERT_FALSE(root_.empty());
  }
  void TearDown() override {
    std::error_code error;
    fs::remove_all(root_, error);
  }
  static mode_t Mode(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
  }
  std::string root_;
};

TEST_F(PrivateFolderTest, CreatedAndExistingFoldersAreOwnerOnly) {
  EXPECT_EQ(Mode(root_), 0700u);
  std::string reason;
  const std::string fresh = root_ + "/new";
  ASSERT_TRUE(MakePrivateFolder(fresh, &reason)) << reason;
  EXPECT_EQ(Mode(fresh), 0700u);
  const std::string open = root_ + "/open";
  ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
  ::chmod(open.c_str(), 0777);
  ASSERT_TRUE(MakePrivateFolder(open, &reason)) << reason;
  EXPECT_EQ(Mode(open), 0700u);
}

TEST_F(PrivateFolderTest, PlantedLinkOrFileIsRefused) {
  const std::string target = root_ + "/elsewhere";
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  const std::string link = root_ + "/link";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  std::string reason;
  EXPECT_FALSE(MakePrivateFolder(link, &reason));
  EXPECT_NE(reason.find("symbolic link"), std::string::npos) << reason;
  const std::string file = root_ + "/file";
  { std::FILE* f = std::fopen(file.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
  EXPECT_FALSE(MakePrivateFolder(file, &reason));
  EXPECT_FALSE(MakePrivateFolder(root_ + "/missing/child", &reason));
}

TEST_F(PrivateFolderTest, FolderOfAnotherUserIsRefused) {
  std::string reason;
  std::string theirs = "/";  // belongs to root
  if (::geteuid() == 0) {
    // As root, plant a folder that belongs to "nobody".
    theirs = root_ + "/theirs";
    ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  }
  EXPECT_FALSE(MakePrivateFolder(theirs, &reason));
  EXPECT_NE(reason.find("belongs to user"), std::string::npos) << reason;
}

}  // namespace
