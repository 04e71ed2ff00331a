// The agent's positional command line: too few arguments are refused with a usage line,
// run mode 1 needs its task id.
#include <sys/wait.h>

#include "e2e_support.h"

namespace e2e {
namespace {

class CommandLine : public AgentTest {
 protected:
  // Runs the agent with `args` (after the program name); returns its wait status, or
  // nothing when it is still running after five seconds.
  std::optional<int> RunAgent(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {AgentPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    stderr_path_ = temp_.path() + "/agent.stderr";
    if (!process_.Start(argv, temp_.path() + "/agent.stdout", stderr_path_)) return std::nullopt;
    return process_.WaitExit(milliseconds(5000));
  }

  // Nine valid arguments pointing at a link that listens, so a wrongly started agent
  // would stay up (and connect) instead of failing for some other reason.
  std::vector<std::string> NineArguments(int run_mode) {
    int port = link_.Listen();
    EXPECT_GT(port, 0);
    return {std::to_string(port), std::to_string(::getpid()), "0", "0", "0", "1.0",
            app_folder_, "e2e", std::to_string(run_mode)};
  }

  void ExpectUsageRefusal(const std::optional<int>& status) {
    ASSERT_TRUE(status.has_value()) << "the agent did not exit";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    std::vector<std::string> lines = SplitLines(ReadFileText(stderr_path_));
    ASSERT_EQ(lines.size(), 1u) << ReadFileText(stderr_path_);
    EXPECT_EQ(lines[0].rfind("usage: ", 0), 0u) << lines[0];
    EXPECT_FALSE(link_.Accept(milliseconds(0))) << "a refused agent must not connect";
  }

  ChildProcess process_;
  std::string stderr_path_;
};

TEST_F(CommandLine, NoArgumentsExitsWithUsage) { ExpectUsageRefusal(RunAgent({})); }

TEST_F(CommandLine, EightArgumentsExitWithUsageAndLeaveNoFolders) {
  std::vector<std::string> args = NineArguments(0);
  args.pop_back();
  ASSERT_NO_FATAL_FAILURE(ExpectUsageRefusal(RunAgent(args)));
  EXPECT_FALSE(IsDirectory(AppRoot()));
}

TEST_F(CommandLine, ApplicationFolderThatIsAPathExitsWithUsage) {
  for (const char* folder : {"../escape", "a/b", "..", "/abs"}) {
    SCOPED_TRACE(folder);
    std::vector<std::string> args = NineArguments(0);
    args[6] = folder;
    ASSERT_NO_FATAL_FAILURE(ExpectUsageRefusal(RunAgent(args)));
  }
  EXPECT_FALSE(IsDirectory(temp_.path() + "/escape"));
}

TEST_F(CommandLine, TaskModeWithoutTaskIdExitsWithUsage) {
  std::vector<std::string> args = NineArguments(1);
  ASSERT_NO_FATAL_FAILURE(ExpectUsageRefusal(RunAgent(args)));
  args.push_back("0");  // index 9, never read; the task id at index 10 is still missing
  ASSERT_NO_FATAL_FAILURE(ExpectUsageRefusal(RunAgent(args)));
}

TEST_F(CommandLine, TaskModeWithTaskIdStartsAndConnects) {
  vadoctl::AgentLaunch launch = Launch(0);
  launch.run_mode = 1;
  launch.task_id = 4242;
  ASSERT_EQ(launch.Arguments().size(), 11u);
  ASSERT_NO_FATAL_FAILURE(StartConnected(launch));
  // The agent serves requests in task mode as in normal mode.
  SendRequest(600, 7, R"({"uuid":"","code":5})");
  std::optional<vadoctl::AgentMessage> reply = ReceiveReply(link_, milliseconds(5000));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->kind, 1);
  EXPECT_EQ(reply->task_id, 7u);
}

TEST_F(CommandLine, ElevatedModeNeedsOnlyNineArguments) {
  vadoctl::AgentLaunch launch = Launch(0);
  launch.run_mode = 2;
  ASSERT_EQ(launch.Arguments().size(), 9u);
  ASSERT_NO_FATAL_FAILURE(StartConnected(launch));
}

}  // namespace
}  // namespace e2e
