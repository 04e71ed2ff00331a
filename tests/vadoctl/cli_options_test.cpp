// vadoctl's command line: what it refuses before any agent or simulator is started.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_options.h"

namespace {

std::optional<vadoctl::CliOptions> Parse(std::vector<std::string> words, std::string* error) {
  words.insert(words.begin(), "vadoctl");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  return vadoctl::ParseCli(static_cast<int>(argv.size()), argv.data(), error);
}

TEST(CliOptions, WipeCommandsWithoutTheirRequiredOptionAreUsageErrors) {
  std::string error;
  EXPECT_FALSE(Parse({"wipe-free"}, &error));
  EXPECT_NE(error.find("wipe-free --level N"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(Parse({"wipe"}, &error));
  EXPECT_NE(error.find("wipe --backup DIR"), std::string::npos) << error;

  auto free_space = Parse({"wipe-free", "--level", "2"}, &error);
  ASSERT_TRUE(free_space) << error;
  EXPECT_EQ(free_space->level, 2);
  auto wipe = Parse({"wipe", "--backup", "/tmp/b"}, &error);
  ASSERT_TRUE(wipe) << error;
  EXPECT_EQ(wipe->backup_dir, "/tmp/b");
}

}  // namespace
