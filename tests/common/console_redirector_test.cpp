// Child processes run with captured output: exit codes, both streams, large output,
// deadlines and stop requests, and children that leave a descendant holding the pipes.
#include "platform/console_redirector.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "platform/command_runner.h"

namespace {

using namespace std::chrono_literals;
using platform::SyncRedirector;

TEST(ConsoleRedirector, CollectsStandardOutputAndErrorWithExitCode) {
  SyncRedirector redirector;
  std::string output;
  EXPECT_EQ(redirector.Run({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, &output, 10s), 3);
  EXPECT_NE(output.find("out\n"), std::string::npos);
  EXPECT_NE(output.find("err\n"), std::string::npos);
}

TEST(ConsoleRedirector, LargeOutputArrivesWhole) {
  std::string output;
  EXPECT_EQ(platform::RunCommand({"/bin/sh", "-c", "head -c 3000000 /dev/zero | tr '\\0' a"}, &output), 0);
  EXPECT_EQ(output.size(), 3000000u);
  EXPECT_EQ(output.find_first_not_of('a'), std::string::npos);
}

TEST(ConsoleRedirector, MissingProgramAndAbnormalEndGiveMinusOne) {
  std::string output;
  EXPECT_EQ(platform::RunCommand({"/no/such/program"}, &output), -1);
  EXPECT_EQ(platform::RunCommand({}, &output), -1);
  EXPECT_EQ(platform::RunCommand({"/bin/sh", "-c", "kill -9 $$"}, &output), -1);
}

TEST(ConsoleRedirector, DeadlineAndStopKillTheChildPromptly) {
  SyncRedirector redirector;
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(redirector.Run({"/bin/sleep", "30"}, nullptr, 300ms), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);

  started = std::chrono::steady_clock::now();
  auto stop_at = started + 200ms;
  EXPECT_EQ(redirector.Run({"/bin/sleep", "30"}, nullptr, 60s,
                           [&] { return std::chrono::steady_clock::now() > stop_at; }),
            -1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

TEST(ConsoleRedirector, DescendantHoldingThePipeDoesNotHoldTheCaller) {
  std::string output;
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::RunCommand({"/bin/sh", "-c", "sleep 20 & echo started"}, &output, 10s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(output, "started\n");
}

TEST(ConsoleRedirector, DestroyingWhileRunningEndsTheChild) {
  pid_t pid = 0;
  {
    SyncRedirector redirector;
    ASSERT_TRUE(redirector.Start({"/bin/sleep", "30"}));
    pid = redirector.pid();
    ASSERT_GT(pid, 0);
  }
  EXPECT_NE(::kill(pid, 0), 0) << "child still alive after the redirector went";
}

}  // namespace
