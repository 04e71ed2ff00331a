#include "farm/path_jail.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>

namespace devsim {
namespace {

TEST(PathJail, SplitNormalisesAndRefusesClimbingAboveTheRoot) {
  std::vector<std::string> p;
  ASSERT_TRUE(PathJail::Split("/a//b/./c/", &p));
  EXPECT_EQ(p, (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_TRUE(PathJail::Split("a/b/../c", &p));
  EXPECT_EQ(p, (std::vector<std::string>{"a", "c"}));
  ASSERT_TRUE(PathJail::Split("/", &p));
  EXPECT_TRUE(p.empty());
  EXPECT_FALSE(PathJail::Split("..", &p));
  EXPECT_FALSE(PathJail::Split("/a/../..", &p));
  EXPECT_FALSE(PathJail::Split(std::string("a\0/../..", 8), &p));
}

class PathJailFs : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/devsim-jail-XXXXXX";
    base_ = mkdtemp(tmpl);
    std::filesystem::create_directories(base_ / "root/dir");
    std::ofstream(base_ / "outside.txt") << "secret";
    std::ofstream(base_ / "root/dir/inside.txt") << "inside";
  }
  void TearDown() override { std::filesystem::remove_all(base_); }
  std::filesystem::path base_;
};

TEST_F(PathJailFs, AbsoluteAndRelativeLinksResolveInsideTheRoot) {
  std::filesystem::create_symlink(base_ / "outside.txt", base_ / "root/abs");
  std::filesystem::create_symlink("../../outside.txt", base_ / "root/dir/rel");
  std::filesystem::create_symlink("/dir/inside.txt", base_ / "root/rooted");
  PathJail jail(base_ / "root");
  ASSERT_TRUE(jail.valid());
  UniqueFd fd;
  EXPECT_EQ(jail.Open("abs", O_RDONLY, 0, &fd), ENOENT);
  EXPECT_EQ(jail.Open("dir/rel", O_RDONLY, 0, &fd), ENOENT);
  ASSERT_EQ(jail.Open("rooted", O_RDONLY, 0, &fd), 0) << "'/' in a link means the root";
  char buf[16] = {};
  EXPECT_EQ(read(fd.get(), buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "inside");
}

TEST_F(PathJailFs, ParentOfTheRootIsTheRootWithAnEmptyName) {
  PathJail jail(base_ / "root");
  UniqueFd dir;
  std::string name = "x";
  ASSERT_EQ(jail.Parent("/", &dir, &name), 0);
  EXPECT_TRUE(name.empty());
  ASSERT_EQ(jail.Parent("/dir/inside.txt", &dir, &name), 0);
  EXPECT_EQ(name, "inside.txt");
  EXPECT_EQ(jail.Parent("/../outside.txt", &dir, &name), EPERM);
}

}  // namespace
}  // namespace devsim
