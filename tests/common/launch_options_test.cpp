#include <gtest/gtest.h>

#include "common/launch_options.h"
#include "common/number_parse.h"

namespace {

std::vector<std::string> Args(std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"5000", "123", "1", "0", "1", "2.0.1", "MyApp", "My Product", "0"};
  for (auto& e : extra) args.push_back(e);
  return args;
}

TEST(LaunchOptions, ReadsEveryPositionalField) {
  auto options = ParseLaunchOptions(Args());
  ASSERT_TRUE(options);
  EXPECT_EQ(options->gui_port, 5000);
  EXPECT_EQ(options->parent_pid, 123);
  EXPECT_TRUE(options->show_console);
  EXPECT_FALSE(options->test_mode);
  EXPECT_TRUE(options->enable_log);
  EXPECT_EQ(options->product_version, "2.0.1");
  EXPECT_EQ(options->app_folder, "MyApp");
  EXPECT_EQ(options->product_name, "My Product");
  EXPECT_EQ(options->run_mode, 0);
  EXPECT_EQ(options->task_id, 0);
}

TEST(LaunchOptions, RefusesTooFewArguments) {
  auto args = Args();
  args.pop_back();
  EXPECT_FALSE(ParseLaunchOptions(args));
  EXPECT_FALSE(ParseLaunchOptions({}));
}

TEST(LaunchOptions, TaskModeNeedsElevenArgumentsAndReadsTaskId) {
  auto args = Args();
  args[8] = "1";
  EXPECT_FALSE(ParseLaunchOptions(args));
  args.push_back("ignored");
  EXPECT_FALSE(ParseLaunchOptions(args));
  args.push_back("9007199254740993");
  auto options = ParseLaunchOptions(args);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->run_mode, 1);
  EXPECT_EQ(options->task_id, 9007199254740993LL);
}

TEST(LaunchOptions, TaskIdIgnoredOutsideTaskMode) {
  auto args = Args({"x", "77"});
  args[8] = "2";
  auto options = ParseLaunchOptions(args);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->task_id, 0);
}

TEST(LeadingDigits, FollowsAtoiSemantics) {
  EXPECT_EQ(ParseLeadingInt("42abc"), 42);
  EXPECT_EQ(ParseLeadingInt("  -17"), -17);
  EXPECT_EQ(ParseLeadingInt("+8"), 8);
  EXPECT_EQ(ParseLeadingInt("abc"), 0);
  EXPECT_EQ(ParseLeadingInt(""), 0);
  EXPECT_EQ(ParseLeadingInt("-"), 0);
  EXPECT_EQ(ParseLeadingInt("12.4.1"), 12);
  EXPECT_EQ(ParseLeadingInt("99999999999"), INT32_MAX);
  EXPECT_EQ(ParseLeadingInt("-99999999999"), INT32_MIN);
  EXPECT_EQ(ParseLeadingInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(ParseLeadingInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ParseLeadingInt64("99999999999999999999"), INT64_MAX);
}

}  // namespace
