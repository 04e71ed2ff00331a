// The agent's life as a process: the parent watchdog, running without a front end,
// orderly shutdown on SIGTERM with its folders, logging and the console self-test.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "e2e_support.h"

namespace e2e {
namespace {

void ExpectOrderlyExit(const std::optional<int>& status) {
  ASSERT_TRUE(status.has_value()) << "the agent did not exit";
  ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status;
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

// Files the log library wrote into `folder` (its per-severity links included).
std::vector<std::string> LogFiles(const std::string& folder) {
  std::vector<std::string> files;
  for (const std::string& name : ListFolder(folder)) {
    if (name.rfind("VadoAgent.", 0) == 0) files.push_back(name);
  }
  return files;
}

using Watchdog = AgentTest;

TEST_F(Watchdog, AgentQuitsWhenItsParentEnds) {
  ChildProcess parent;
  ASSERT_TRUE(parent.Start({"/bin/sleep", "60"}));
  vadoctl::AgentLaunch launch = Launch(0);
  launch.parent_pid = parent.pid();
  ASSERT_NO_FATAL_FAILURE(StartConnected(launch));
  EXPECT_FALSE(WaitAgentExit(agent_, milliseconds(0)).has_value());

  parent.Signal(SIGKILL);
  ASSERT_TRUE(parent.WaitExit(milliseconds(5000)).has_value());
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(5000)));
}

TEST_F(Watchdog, AgentQuitsAtOnceWhenItsParentIsAlreadyGone) {
  pid_t gone = PidOfEndedProcess();
  ASSERT_GT(gone, 0);
  vadoctl::AgentLaunch launch = Launch(0);
  launch.parent_pid = gone;
  std::string error;
  ASSERT_TRUE(agent_.Start(launch, &error)) << error;
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
}

TEST_F(Watchdog, ParentThatIsAZombieCountsAsGone) {
  // The parent has ended but nobody has reaped it yet.
  ChildProcess parent;
  ASSERT_TRUE(parent.Start({"/bin/sleep", "60"}));
  vadoctl::AgentLaunch launch = Launch(0);
  launch.parent_pid = parent.pid();
  ASSERT_NO_FATAL_FAILURE(StartConnected(launch));
  ::kill(parent.pid(), SIGKILL);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(5000)));
}

// A port on 127.0.0.1 where nobody listens (any longer): connecting is refused.
int UnreachablePort() {
  vadoctl::FrontEndLink closed;
  return closed.Listen();
}

TEST_F(Watchdog, ParentGoneWhileFrontEndIsUnreachableQuitsPromptly) {
  // The agent is still retrying its connection when the watchdog asks it to quit.
  int port = UnreachablePort();
  ASSERT_GT(port, 0);
  vadoctl::AgentLaunch launch = Launch(port);
  launch.parent_pid = PidOfEndedProcess();
  ASSERT_GT(launch.parent_pid, 0);
  std::string error;
  ASSERT_TRUE(agent_.Start(launch, &error)) << error;
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
}

using NoFrontEnd = AgentTest;

TEST_F(NoFrontEnd, SigtermWhileFrontEndIsUnreachableExitsPromptly) {
  int port = UnreachablePort();
  ASSERT_GT(port, 0);
  std::string error;
  ASSERT_TRUE(agent_.Start(Launch(port), &error)) << error;
  WaitForLogFolder();
  ::kill(agent_.pid(), SIGTERM);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
}

TEST_F(NoFrontEnd, PortZeroRunsWithoutConnectingUntilSigterm) {
  ASSERT_GT(link_.Listen(), 0);
  std::string error;
  ASSERT_TRUE(agent_.Start(Launch(0), &error)) << error;
  WaitForLogFolder();
  // Running on its own: it neither exits nor connects anywhere.
  EXPECT_FALSE(WaitAgentExit(agent_, milliseconds(500)).has_value());
  EXPECT_FALSE(link_.Accept(milliseconds(0)));

  ::kill(agent_.pid(), SIGTERM);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
}

using Shutdown = AgentTest;

TEST_F(Shutdown, SigtermRemovesWorkFolderAndKeepsLogFolder) {
  ASSERT_NO_FATAL_FAILURE(StartConnected(Launch(0)));
  std::string log_folder = WaitForLogFolder();
  ASSERT_FALSE(log_folder.empty());
  std::string date = log_folder.substr(log_folder.rfind('/') + 1);
  EXPECT_EQ(date, TodayFolderName());

  // Scratch content a module would leave in the work folder.
  std::string work = log_folder + "/VadoAgent-" + std::to_string(agent_.pid());
  ASSERT_TRUE(std::filesystem::create_directories(work + "/device/db"));
  std::ofstream(work + "/device/db/copy.sqlite") << "scratch";
  std::ofstream(log_folder + "/front-end-note.txt") << "kept";

  ::kill(agent_.pid(), SIGTERM);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
  EXPECT_FALSE(std::filesystem::exists(work));
  EXPECT_TRUE(IsDirectory(log_folder));
  EXPECT_TRUE(std::filesystem::exists(log_folder + "/front-end-note.txt"));
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

using PrivateFolders = AgentTest;

TEST_F(PrivateFolders, LogAndWorkFoldersAreOwnerOnly) {
  ASSERT_NO_FATAL_FAILURE(StartConnected(Launch(0)));
  std::string log_folder = WaitForLogFolder();
  ASSERT_FALSE(log_folder.empty());
  EXPECT_EQ(ModeOf(AppRoot()), 0700u);
  EXPECT_EQ(ModeOf(log_folder), 0700u);
  ::kill(agent_.pid(), SIGTERM);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
}

TEST_F(PrivateFolders, PlantedLinkAtTheApplicationFolderIsNotFollowed) {
  const std::string elsewhere = temp_.path() + "/planted-target";
  ASSERT_TRUE(std::filesystem::create_directories(elsewhere));
  std::filesystem::create_directory_symlink(elsewhere, AppRoot());
  vadoctl::AgentLaunch launch = Launch(0);
  launch.log = true;
  ASSERT_NO_FATAL_FAILURE(StartConnected(launch));
  // Nothing was created through the link; a fresh private folder took the logs.
  EXPECT_TRUE(ListFolder(elsewhere).empty());
  std::string fresh;
  for (const std::string& name : ListFolder(temp_.path())) {
    if (name.rfind("VadoAgent-", 0) == 0) fresh = temp_.path() + "/" + name;
  }
  ASSERT_FALSE(fresh.empty());
  EXPECT_EQ(ModeOf(fresh), 0700u);
  ::kill(agent_.pid(), SIGTERM);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
  bool reason_logged = false;
  for (const std::string& name : LogFiles(fresh)) {
    if (ReadFileText(fresh + "/" + name).find("symbolic link") != std::string::npos) reason_logged = true;
  }
  EXPECT_TRUE(reason_logged);
  EXPECT_TRUE(ListFolder(elsewhere).empty());
}

TEST_F(Shutdown, SigintIsAnOrderlyShutdownToo) {
  ASSERT_NO_FATAL_FAILURE(StartConnected(Launch(0)));
  std::string log_folder = WaitForLogFolder();
  std::string work = log_folder + "/VadoAgent-" + std::to_string(agent_.pid());
  ASSERT_TRUE(std::filesystem::create_directories(work));

  ::kill(agent_.pid(), SIGINT);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
  EXPECT_FALSE(std::filesystem::exists(work));
}

TEST_F(Shutdown, AgentClosesTheLinkWhenItExits) {
  ASSERT_NO_FATAL_FAILURE(StartConnected(Launch(0)));
  WaitForLogFolder();
  ::kill(agent_.pid(), SIGTERM);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
  EXPECT_FALSE(ReceiveReply(link_, milliseconds(2000)).has_value());
  EXPECT_TRUE(link_.closed());
}

TEST_F(Shutdown, LogFlagWritesLogFileIntoLogFolder) {
  vadoctl::AgentLaunch launch = Launch(0);
  launch.log = true;
  ASSERT_NO_FATAL_FAILURE(StartConnected(launch));
  std::string log_folder = WaitForLogFolder();
  ::kill(agent_.pid(), SIGTERM);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));

  std::vector<std::string> files = LogFiles(log_folder);
  ASSERT_FALSE(files.empty()) << "no log file in " << log_folder;
  bool logged_quit = false;
  for (const std::string& name : files) {
    if (ReadFileText(log_folder + "/" + name).find("quit requested") != std::string::npos) {
      logged_quit = true;
    }
  }
  EXPECT_TRUE(logged_quit) << "the shutdown was not logged";
}

TEST_F(Shutdown, WithoutLogFlagNoLogFileIsWritten) {
  ASSERT_NO_FATAL_FAILURE(StartConnected(Launch(0)));
  std::string log_folder = WaitForLogFolder();
  ::kill(agent_.pid(), SIGTERM);
  ExpectOrderlyExit(WaitAgentExit(agent_, milliseconds(3000)));
  EXPECT_TRUE(LogFiles(log_folder).empty());
  // Nor anywhere else under this test's temporary folder (the log library's default).
  EXPECT_TRUE(LogFiles(temp_.path()).empty());
}

class Console : public AgentTest {
 protected:
  // Starts the agent without a front end, its output captured in files.
  void StartCaptured(bool console, bool test_mode, bool log) {
    vadoctl::AgentLaunch launch = Launch(0);
    launch.console = console;
    launch.test_mode = test_mode;
    launch.log = log;
    std::vector<std::string> argv = launch.Arguments();
    argv.insert(argv.begin(), launch.executable);
    stdout_path_ = temp_.path() + "/agent.stdout";
    stderr_path_ = temp_.path() + "/agent.stderr";
    ASSERT_TRUE(process_.Start(argv, stdout_path_, stderr_path_));
  }

  std::vector<std::string> SelfTestLines() {
    std::vector<std::string> lines;
    for (const std::string& line : SplitLines(ReadFileText(stdout_path_))) {
      if (line.rfind("self-test ", 0) == 0) lines.push_back(line);
    }
    return lines;
  }

  ChildProcess process_;
  std::string stdout_path_;
  std::string stderr_path_;
};

TEST_F(Console, TestModeSelfTestPrintsItsChecksOnStdout) {
  ASSERT_NO_FATAL_FAILURE(StartCaptured(true, true, false));
  constexpr size_t kChecks = 3;
  EXPECT_TRUE(WaitUntil([&] { return SelfTestLines().size() >= kChecks; }, milliseconds(5000)))
      << "stdout: " << ReadFileText(stdout_path_);
  for (const std::string& line : SelfTestLines()) {
    EXPECT_NE(line.find(": ok"), std::string::npos) << line;
  }
  process_.Signal(SIGTERM);
  ExpectOrderlyExit(process_.WaitExit(milliseconds(3000)));
}

TEST_F(Console, ConsoleWithLogCopiesLogLinesToStderr) {
  ASSERT_NO_FATAL_FAILURE(StartCaptured(true, true, true));
  EXPECT_TRUE(WaitUntil(
      [&] { return ReadFileText(stderr_path_).find("TestModule Begin") != std::string::npos; },
      milliseconds(5000)))
      << "stderr: " << ReadFileText(stderr_path_);
  process_.Signal(SIGTERM);
  ExpectOrderlyExit(process_.WaitExit(milliseconds(3000)));
}

TEST_F(Console, WithoutConsoleNothingReachesStdoutOrStderr) {
  ASSERT_NO_FATAL_FAILURE(StartCaptured(false, true, true));
  // The log file shows the self-test has started; its output must go nowhere.
  std::string log_folder = WaitForLogFolder();
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const std::string& name : LogFiles(log_folder)) {
          if (ReadFileText(log_folder + "/" + name).find("TestModule Begin") != std::string::npos) {
            return true;
          }
        }
        return false;
      },
      milliseconds(5000)));
  process_.Signal(SIGTERM);
  ExpectOrderlyExit(process_.WaitExit(milliseconds(3000)));
  EXPECT_EQ(ReadFileText(stdout_path_), "");
  EXPECT_EQ(ReadFileText(stderr_path_), "");
}

}  // namespace
}  // namespace e2e
