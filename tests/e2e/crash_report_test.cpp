// A fatal signal leaves exactly one archive in the log folder holding the crash file, the
// description and the day's logs; no loose log or crash file stays behind.
#include <minizip/unzip.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "e2e_support.h"

namespace e2e {
namespace {

// Every member of a zip archive by name with its content; empty when it cannot be read.
std::map<std::string, std::string> ReadArchive(const std::string& path) {
  std::map<std::string, std::string> members;
  unzFile zip = unzOpen64(path.c_str());
  if (zip == nullptr) return members;
  for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
    char name[512];
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) break;
    if (unzOpenCurrentFile(zip) != UNZ_OK) break;
    std::string content;
    char buffer[8192];
    int n;
    while ((n = unzReadCurrentFile(zip, buffer, sizeof buffer)) > 0) content.append(buffer, n);
    unzCloseCurrentFile(zip);
    members[name] = content;
  }
  unzClose(zip);
  return members;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class CrashReport : public AgentTest {
 protected:
  // Starts the agent with logging on, sends `signal_number` to its main thread and checks
  // that it ended with that signal and left one report archive; returns the archive's members.
  std::map<std::string, std::string> CrashWith(int signal_number) {
    vadoctl::AgentLaunch launch = Launch(0);
    launch.log = true;
    product_ = launch.product_name;
    version_ = launch.product_version;
    EXPECT_NO_FATAL_FAILURE(StartConnected(launch));
    log_folder_ = WaitForLogFolder();
    EXPECT_FALSE(log_folder_.empty());
    // An older report of the front end's stays; a work folder stays in place.
    std::ofstream(log_folder_ + "/20000101000000.dmp.zip") << "older";
    work_ = log_folder_ + "/VadoAgent-" + std::to_string(agent_.pid());
    std::filesystem::create_directories(work_ + "/device");

    // The log library opens its file with the first line logged.
    EXPECT_TRUE(WaitUntil([&] {
      for (const std::string& name : ListFolder(log_folder_)) {
        if (name.find(".log.INFO.") != std::string::npos) return true;
      }
      return false;
    }, milliseconds(5000)));
    // The main thread's stack runs through the agent's own start-up functions.
    ::syscall(SYS_tgkill, agent_.pid(), agent_.pid(), signal_number);
    std::optional<int> status = WaitAgentExit(agent_, milliseconds(20000));
    EXPECT_TRUE(status.has_value()) << "the agent did not end";
    if (status) {
      EXPECT_TRUE(WIFSIGNALED(*status));
      if (WIFSIGNALED(*status)) EXPECT_EQ(WTERMSIG(*status), signal_number);
    }

    std::vector<std::string> archives;
    for (const std::string& name : ListFolder(log_folder_)) {
      EXPECT_FALSE(EndsWith(name, ".log") || EndsWith(name, ".dmp") || name == "Crash.json" ||
                   name.find(".log.") != std::string::npos)
          << "left loose: " << name;
      if (EndsWith(name, ".dmp.zip") && name != "20000101000000.dmp.zip") archives.push_back(name);
    }
    EXPECT_EQ(archives.size(), 1u);
    EXPECT_TRUE(IsDirectory(work_)) << "the work folder was removed";
    if (archives.size() != 1) return {};
    return ReadArchive(log_folder_ + "/" + archives[0]);
  }

  void ExpectReport(const std::map<std::string, std::string>& members, const char* signal_name) {
    std::string dump;
    bool has_log = false;
    for (const auto& [name, content] : members) {
      if (EndsWith(name, ".dmp")) dump = content;
      if (name.rfind("VadoAgent.", 0) == 0 && name.find(".log.INFO.") != std::string::npos) has_log = true;
    }
    EXPECT_TRUE(has_log) << "the day's log file is not in the archive";
    ASSERT_FALSE(dump.empty()) << "no crash file in the archive";
    EXPECT_NE(dump.find(std::string("signal ") + signal_name), std::string::npos) << dump;
    EXPECT_NE(dump.find("\nthread "), std::string::npos);
    EXPECT_NE(dump.find("\nrip "), std::string::npos);
    size_t trace = dump.find("\nbacktrace\n");
    size_t map = dump.find("\nmemory map\n");
    ASSERT_NE(trace, std::string::npos);
    ASSERT_NE(map, std::string::npos);
    const std::string frames = dump.substr(trace, map - trace);
    EXPECT_TRUE(frames.find("RunAgent") != std::string::npos ||
                frames.find("WaitForQuit") != std::string::npos)
        << frames;
    EXPECT_NE(dump.find("[stack]", map), std::string::npos) << "no memory map";

    ASSERT_EQ(members.count("Crash.json"), 1u);
    const std::string& json = members.at("Crash.json");
    rapidjson::Document description;
    description.Parse(json.c_str());
    ASSERT_TRUE(description.IsObject()) << json;
    EXPECT_EQ(description["Product"].GetString(), product_);
    EXPECT_EQ(description["Version"].GetString(), version_);
    EXPECT_TRUE(description["System"].IsString());
    EXPECT_LT(json.find("\"Product\""), json.find("\"Version\""));
    EXPECT_LT(json.find("\"Version\""), json.find("\"System\""));
    EXPECT_NE(json.find("\n    \"Product\": "), std::string::npos) << "not indented by four";
  }

  std::string log_folder_;
  std::string work_;
  std::string product_;
  std::string version_;
};

TEST_F(CrashReport, SegmentationFaultIsPackedIntoOneArchive) {
  std::map<std::string, std::string> members = CrashWith(SIGSEGV);
  ExpectReport(members, "SIGSEGV");
}

TEST_F(CrashReport, AbortIsPackedIntoOneArchive) {
  std::map<std::string, std::string> members = CrashWith(SIGABRT);
  ExpectReport(members, "SIGABRT");
}

}  // namespace
}  // namespace e2e
