// vadoctl as a user runs it: it starts its own agent, sends one request and prints what
// comes back as JSON lines.
#include <sys/wait.h>

#include <cstdlib>

#include "e2e_support.h"
#include "platform/process.h"

namespace e2e {
namespace {

class VadoctlCli : public AgentTest {
 protected:
  // Runs vadoctl with `args`; returns its exit code, or -1 when it did not exit normally
  // within ten seconds.
  int Run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VadoctlPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    stdout_path_ = temp_.path() + "/vadoctl.stdout";
    stderr_path_ = temp_.path() + "/vadoctl.stderr";
    ChildProcess process;
    if (!process.Start(argv, stdout_path_, stderr_path_)) return -1;
    std::optional<int> status = process.WaitExit(milliseconds(10000));
    if (!status || !WIFEXITED(*status)) return -1;
    return WEXITSTATUS(*status);
  }

  std::string Stdout() { return ReadFileText(stdout_path_); }
  std::string Stderr() { return ReadFileText(stderr_path_); }

  // The pid vadoctl reports for the agent it started, or 0.
  pid_t ReportedAgentPid() {
    const std::string marker = "vadoctl: agent ";
    std::string text = Stderr();
    size_t at = text.find(marker);
    if (at == std::string::npos) return 0;
    return static_cast<pid_t>(std::atol(text.c_str() + at + marker.size()));
  }

  std::string stdout_path_;
  std::string stderr_path_;
};

TEST_F(VadoctlCli, SendCancelPrintsOneResultLine) {
  int code = Run({"send", "600", "--header", R"({"uuid":"","code":5})", "--app-folder",
                  app_folder_});
  ASSERT_EQ(code, 0) << Stderr();
  std::vector<std::string> lines = SplitLines(Stdout());
  ASSERT_EQ(lines.size(), 1u) << Stdout();

  rapidjson::Document line;
  line.Parse(lines[0].c_str());
  ASSERT_FALSE(line.HasParseError()) << lines[0];
  ASSERT_TRUE(line.IsObject());
  ASSERT_TRUE(line.HasMember("kind") && line.HasMember("header") && line.HasMember("command"));
  EXPECT_EQ(line["kind"].GetInt(), 1);
  EXPECT_EQ(line["command"].GetInt(), 600);
  ASSERT_TRUE(line["header"].IsObject());
  ASSERT_TRUE(line["header"].HasMember("code"));
  EXPECT_EQ(line["header"]["code"].GetInt64(), 0);

  // vadoctl ends the agent it started; the agent used this test's temporary folder.
  pid_t agent = ReportedAgentPid();
  ASSERT_GT(agent, 0) << Stderr();
  EXPECT_FALSE(platform::IsProcessAlive(agent));
  EXPECT_TRUE(IsDirectory(AppRoot()));
}

TEST_F(VadoctlCli, SendToUnregisteredCommandTimesOutWithCode3) {
  int code = Run({"send", "503", "--timeout-ms", "500", "--app-folder", app_folder_});
  EXPECT_EQ(code, 3) << Stderr();
  EXPECT_EQ(Stdout(), "");
  pid_t agent = ReportedAgentPid();
  ASSERT_GT(agent, 0) << Stderr();
  EXPECT_FALSE(platform::IsProcessAlive(agent));
}

TEST_F(VadoctlCli, HelpExitsZeroWithUsage) {
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_EQ(Stdout().rfind("usage: vadoctl", 0), 0u) << Stdout();
}

TEST_F(VadoctlCli, UnknownOptionExitsTwo) {
  EXPECT_EQ(Run({"--no-such-option"}), 2);
  EXPECT_NE(Stderr().find("--no-such-option"), std::string::npos) << Stderr();
  EXPECT_EQ(Stdout(), "");
}

TEST_F(VadoctlCli, SendWithoutCommandIdExitsTwo) {
  EXPECT_EQ(Run({"send", "--header", "{}"}), 2);
  EXPECT_EQ(Stdout(), "");
}

}  // namespace
}  // namespace e2e
