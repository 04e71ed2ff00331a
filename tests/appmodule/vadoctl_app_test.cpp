#include <gtest/gtest.h>

#include "app_commands.h"
#include "cli_options.h"
#include "progress_bar.h"
#include "request_runner.h"

TEST(SafeFileName, KeepsPlainIdsAndNeutralisesPathCharacters) {
  EXPECT_EQ(vadoctl::SafeFileName("com.example.app"), "com.example.app");
  EXPECT_EQ(vadoctl::SafeFileName("../x/y"), "_.._x_y");
  EXPECT_EQ(vadoctl::SafeFileName("a\"b"), "a_b");
  EXPECT_EQ(vadoctl::SafeFileName(""), "_");
}

TEST(ProgressBar, FillsInProportionAndClamps) {
  EXPECT_EQ(vadoctl::RenderProgressBar(50, "x.ipa", 10), "[#####.....]  50% x.ipa");
  EXPECT_EQ(vadoctl::RenderProgressBar(150, "", 4), "[####] 100%");
  EXPECT_EQ(vadoctl::RenderProgressBar(-3, "", 4), "[....]   0%");
}

TEST(VadoctlCli, AppCommandsTakeTheirArguments) {
  const char* argv[] = {"vadoctl", "--udid", "U1", "icons", "--out", "/tmp/icons", "a.b", "run"};
  std::string error;
  auto options = vadoctl::ParseCli(8, const_cast<char**>(argv), &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->command, "icons");
  EXPECT_EQ(options->udid, "U1");
  EXPECT_EQ(options->out_dir, "/tmp/icons");
  EXPECT_EQ(options->args, (std::vector<std::string>{"a.b", "run"}));
}

TEST(VadoctlRequest, PerApplicationFinalsAreNotTheModuleResult) {
  auto is_result = [](uint16_t kind, const char* header) {
    vadoctl::AgentMessage message;
    message.kind = kind;
    rapidjson::Document parsed;
    parsed.Parse(header);
    return vadoctl::IsRequestResult(message, parsed);
  };
  EXPECT_TRUE(is_result(1, R"({"stage":0,"code":0,"uuid":"u","type":0})"));
  EXPECT_TRUE(is_result(5, R"({"stage":0,"code":6,"uuid":"u","type":0})"));
  EXPECT_TRUE(is_result(6, R"({"stage":0,"code":14,"uuid":"u","type":0})"));
  // One package failed or succeeded; more may follow.
  EXPECT_FALSE(is_result(6, R"({"stage":2,"code":0,"uuid":"u","type":0})"));
  EXPECT_FALSE(is_result(7, R"({"stage":2,"code":0,"uuid":"u","type":0})"));
  EXPECT_FALSE(is_result(2, R"({"stage":2,"code":40,"uuid":"u","type":0})"));
}
