// Driver downloads (16) against a real HTTPS server on 127.0.0.1 whose certificate comes
// from a certificate authority this test makes, and restarting device monitoring (10).
#include <openssl/evp.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "agent_fixture.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char* const kPackages[] = {"x64/AppleApplicationSupport.msi",
                                 "x64/AppleApplicationSupport64.msi",
                                 "x64/AppleMobileDeviceSupport64.msi"};

std::string Md5Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    static const char kHex[] = "0123456789abcdef";
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xf];
  }
  return text;
}

void WriteFile(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The header's "info" as compact JSON text, whatever its type.
std::string InfoJson(const Seen& s) {
  if (!s.header.IsObject() || !s.header.HasMember("info")) return "";
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  s.header["info"].Accept(writer);
  return buffer.GetString();
}

bool RunShell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

class DriverDownload : public AgentFixture {
 protected:
  void SetUp() override {
    dir_ = sim_.dir().string() + "/https";
    root_ = dir_ + "/root";
    fs::create_directories(root_);
    ASSERT_NO_FATAL_FAILURE(MakeCertificates());
    std::mt19937 random(7);
    const size_t sizes[] = {150 * 1024, 260 * 1024, 900 * 1024};
    for (int i = 0; i < 3; ++i) {
      std::string data(sizes[i], '\0');
      for (char& c : data) c = static_cast<char>(random());
      content_.push_back(data);
      WriteFile(root_ + "/" + kPackages[i], data);
      WriteFile(root_ + "/" + kPackages[i] + ".txt", Md5Hex(data) + "\n");
    }
    ASSERT_NO_FATAL_FAILURE(StartServer());
    setenv("VADO_CA_BUNDLE", (dir_ + "/ca.crt").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VADO_CA_BUNDLE");
    server_.Stop(500);
  }

  void MakeCertificates() {
    WriteFile(dir_ + "/ca.cnf",
              "[req]\ndistinguished_name=dn\nx509_extensions=ext\nprompt=no\n[dn]\nCN=Vado Test CA\n"
              "[ext]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
              "subjectKeyIdentifier=hash\n");
    WriteFile(dir_ + "/server.ext",
              "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
              "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1\n"
              "authorityKeyIdentifier=keyid\n");
    const std::string d = dir_ + "/";
    ASSERT_TRUE(RunShell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                    " -config " + d + "ca.cnf -keyout " + d + "ca.key -out " + d + "ca.crt"));
    ASSERT_TRUE(RunShell("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                    " -subj /CN=127.0.0.1 -keyout " + d + "server.key -out " + d + "server.csr"));
    ASSERT_TRUE(RunShell("openssl x509 -req -days 2 -in " + d + "server.csr -CA " + d + "ca.crt -CAkey " +
                    d + "ca.key -CAcreateserial -extfile " + d + "server.ext -out " + d + "server.crt"));
  }

  void StartServer() {
    const std::string port_file = dir_ + "/port";
    std::string error;
    ASSERT_TRUE(server_.StartCommand({"/usr/bin/env", "python3", VADO_HTTPS_SERVER_SCRIPT, root_,
                                      dir_ + "/server.crt", dir_ + "/server.key", port_file},
                                     &error))
        << error;
    for (int i = 0; i < 600 && !fs::exists(port_file); ++i) std::this_thread::sleep_for(25ms);
    ASSERT_TRUE(fs::exists(port_file)) << "the HTTPS server did not start";
    base_ = "https://127.0.0.1:" + ReadFile(port_file) + "/";
  }

  // Sends 16 with `body` and returns the result; `progress` and `paths` get the task's
  // progress objects and the final path list.
  const Seen* Download(uint64_t task, const std::string& body, std::vector<const Seen*>* progress = nullptr,
                       std::vector<std::string>* paths = nullptr) {
    SendRequest(16, task, "", 0, body);
    std::vector<const Seen*> messages;
    const Seen* result = WaitForResult(task, &messages, 50s);
    for (const Seen* s : messages) {
      if (s->message.kind != 2) continue;
      if (s->header.HasMember("info") && progress) progress->push_back(s);
      if (s->header["stage"].GetInt() == 2 && paths) {
        rapidjson::Document list;
        list.Parse(s->message.body.c_str());
        if (list.IsArray()) {
          for (const auto& p : list.GetArray()) paths->push_back(p.GetString());
        }
      }
    }
    return result;
  }

  std::string Body(const std::string& base) { return "{\"info\":{\"url\":\"" + base + "\"}}"; }

  std::string dir_;
  std::string root_;
  std::string base_;
  std::vector<std::string> content_;
  vadoctl::AgentProcess server_;
};

TEST_F(DriverDownload, FetchesThreePackagesWithProgressThenSkipsVerifiedOnes) {
  ASSERT_NO_FATAL_FAILURE(StartAll());
  std::vector<const Seen*> progress;
  std::vector<std::string> paths;
  const Seen* result = Download(1, Body(base_), &progress, &paths);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  EXPECT_EQ(result->message.kind, 1);
  ASSERT_EQ(paths.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(fs::path(paths[i]).filename(), fs::path(kPackages[i]).filename());
    EXPECT_EQ(ReadFile(paths[i]), content_[i]) << paths[i];
  }
  // Progress objects: packages in order, bytes rising, each package reported complete.
  int last_index = 0;
  int64_t last_step = -1;
  std::vector<bool> completed(4, false);
  for (const Seen* s : progress) {
    rapidjson::Document info;
    info.Parse(InfoJson(*s).c_str());
    ASSERT_TRUE(info.IsObject()) << InfoJson(*s);
    const int index = info["index"].GetInt();
    const int64_t step = info["step"].GetInt64();
    EXPECT_EQ(info["count"].GetInt(), 3);
    ASSERT_GE(index, last_index);
    if (index != last_index) last_step = -1;
    EXPECT_GT(step, last_step);
    last_index = index;
    last_step = step;
    if (step == info["total"].GetInt64()) completed[index] = true;
  }
  EXPECT_TRUE(completed[1] && completed[2] && completed[3]);
  // Nothing but the three packages in the download folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(paths[0]).parent_path()), {}), 3);

  std::vector<const Seen*> again;
  std::vector<std::string> again_paths;
  result = Download(2, Body(base_), &again, &again_paths);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  EXPECT_TRUE(again.empty()) << "verified packages were fetched again";
  EXPECT_EQ(again_paths, paths);
}

TEST_F(DriverDownload, BadDigestsFailWithoutLeavingThePackage) {
  // A wrong digest for the second package.
  WriteFile(root_ + "/" + kPackages[1] + ".txt", std::string(32, 'a'));
  ASSERT_NO_FATAL_FAILURE(StartAll());
  std::vector<std::string> paths;
  const Seen* result = Download(1, Body(base_), nullptr, &paths);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 50);
  EXPECT_EQ(result->message.kind, 6);
  ASSERT_EQ(paths.size(), 1u);
  const fs::path folder = fs::path(paths[0]).parent_path();
  EXPECT_FALSE(fs::exists(folder / "AppleApplicationSupport64.msi"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << "a partial file was left";

  // No digest file at all (404), a digest file that is not hexadecimal, one too large.
  fs::remove(root_ + "/" + kPackages[1] + ".txt");
  result = Download(2, Body(base_));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 50);
  WriteFile(root_ + "/" + kPackages[1] + ".txt", std::string(32, 'z'));
  result = Download(3, Body(base_));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 50);
  WriteFile(root_ + "/" + kPackages[1] + ".txt", Md5Hex(content_[1]) + std::string(4096, ' '));
  result = Download(4, Body(base_));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 50);
  EXPECT_FALSE(fs::exists(folder / "AppleApplicationSupport64.msi"));
}

TEST_F(DriverDownload, FollowsAtMostFiveRedirects) {
  ASSERT_NO_FATAL_FAILURE(StartAll());
  const Seen* result = Download(1, Body(base_ + "r/6"));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 50);
  std::vector<std::string> paths;
  result = Download(2, Body(base_ + "r/3"), nullptr, &paths);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  EXPECT_EQ(paths.size(), 3u);
}

TEST_F(DriverDownload, UntrustedServerCertificateFails) {
  unsetenv("VADO_CA_BUNDLE");
  ASSERT_NO_FATAL_FAILURE(StartAll());
  std::vector<std::string> paths;
  const Seen* result = Download(1, Body(base_), nullptr, &paths);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 50);
  EXPECT_TRUE(paths.empty());
}

TEST_F(DriverDownload, CancelAfterTheFirstPackageAnswersCancelled) {
  ASSERT_NO_FATAL_FAILURE(StartAll());
  SendRequest(16, 9, "", 0, Body(base_ + "slow"));
  // Once the first package is complete, cancel while the second one trickles in.
  const Seen* first_done = WaitFor([](const Seen& s) {
    if (s.message.task_id != 9 || s.message.kind != 2 || !s.header.HasMember("info")) return false;
    rapidjson::Document info;
    info.Parse(InfoJson(s).c_str());
    return info.IsObject() && info["index"].GetInt() == 2;
  }, 40s);
  ASSERT_NE(first_done, nullptr);
  const auto cancelled_at = std::chrono::steady_clock::now();
  SendRequest(600, 10, "", 9);
  const Seen* result = WaitForResult(9, nullptr, 10s);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 6);
  EXPECT_EQ(result->message.kind, 5);
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled_at, 2s);
}

TEST_F(DriverDownload, RequestBodyThatIsNotJsonAnswersEight) {
  ASSERT_NO_FATAL_FAILURE(StartAll());
  const Seen* result = Download(1, "not json {");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 8);
  result = Download(2, "{\"info\":{\"url\":\"file:///etc/\"}}");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 8);
}

TEST_F(DriverDownload, VadoctlDownloadsThenInstallsFromTheDownloadFolder) {
  setenv("TMPDIR", sim_.dir().c_str(), 1);
  setenv("VADO_INSTALLER", "/bin/echo", 1);
  setenv("VADO_DEVICE_SERVICE", "VadoAgent", 1);
  devsim::testing::ToolResult download =
      sim_.Run({VADO_VADOCTL_PATH, "--no-simulator", "drivers", "download", base_}, 50);
  EXPECT_EQ(download.status, 0) << download.err;
  rapidjson::Document paths;
  paths.Parse(download.out.c_str());
  ASSERT_TRUE(paths.IsArray()) << download.out;
  EXPECT_EQ(paths.Size(), 3u);
  EXPECT_NE(download.err.find("package 3/3"), std::string::npos) << download.err;

  devsim::testing::ToolResult install = sim_.Run({VADO_VADOCTL_PATH, "--no-simulator", "drivers", "install"}, 50);
  EXPECT_EQ(install.status, 0) << install.err;
  EXPECT_NE(install.err.find("installed 3/3"), std::string::npos) << install.err;
  unsetenv("VADO_INSTALLER");
  unsetenv("VADO_DEVICE_SERVICE");
}

// 17 and 18 through the private server: the agent starts a second instance in run mode 2
// (directly, as the tests run as root), which presents its token and does the work.
class ElevatedInstance : public AgentFixture {
 protected:
  void SetUp() override {
    record_ = sim_.dir().string() + "/installer-calls.txt";
    setenv("VADO_INSTALLER", VADO_RECORD_INSTALLER_SCRIPT, 1);
    setenv("VADO_INSTALLER_RECORD", record_.c_str(), 1);
    // The agents themselves stand for the running device service.
    setenv("VADO_DEVICE_SERVICE", "VadoAgent", 1);
  }
  void TearDown() override {
    unsetenv("VADO_INSTALLER");
    unsetenv("VADO_INSTALLER_RECORD");
    unsetenv("VADO_DEVICE_SERVICE");
  }

  // Packages placed in the agent's download folder.
  std::string Package(const std::string& name) {
    std::string folder;
    for (const auto& entry : fs::directory_iterator(sim_.dir() / "vadoctl")) folder = entry.path().string();
    folder += "/ios_driver/";
    WriteFile(folder + name, "package " + name);
    return folder + name;
  }

  const Seen* Install(uint64_t task, const std::vector<std::string>& paths,
                      std::vector<const Seen*>* progress = nullptr) {
    std::string list;
    for (const std::string& path : paths) list += (list.empty() ? "\"" : ",\"") + path + "\"";
    SendWithHeader(18, task, "{\"uuid\":\"\",\"code\":0,\"info\":[" + list + "]}");
    std::vector<const Seen*> messages;
    const Seen* result = WaitForResult(task, &messages, 30s);
    if (progress) *progress = messages;
    return result;
  }

  std::vector<std::string> Calls() {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(record_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // Instances of the agent whose parent is the agent under test.
  int ElevatedInstances() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::string stat = ReadFile(entry.path().string() + "/stat");
      size_t close = stat.rfind(')');
      if (close == std::string::npos || stat.find("(VadoAgent)") == std::string::npos) continue;
      std::istringstream fields(stat.substr(close + 2));
      std::string state;
      int parent = 0;
      fields >> state >> parent;
      if (parent == agent_.pid() && state != "Z") ++count;
    }
    return count;
  }

  std::string record_;
};

TEST_F(ElevatedInstance, InstallsDownloadedPackagesAndStopsAtTheFirstError) {
  ASSERT_NO_FATAL_FAILURE(StartAll());
  const std::string a = Package("AppleApplicationSupport.msi");
  const std::string b = Package("AppleMobileDeviceSupport64.msi");
  std::vector<const Seen*> messages;
  const Seen* result = Install(1, {a, b}, &messages);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 1);
  EXPECT_EQ(InfoJson(*result), "{\"error\":0}");
  std::vector<std::string> progress;
  for (const Seen* s : messages) {
    if (s->message.kind == 2) progress.push_back(InfoJson(*s));
  }
  EXPECT_EQ(progress, (std::vector<std::string>{"{\"index\":1,\"count\":2}", "{\"index\":2,\"count\":2}"}));
  EXPECT_EQ(Calls(), (std::vector<std::string>{
                         "/package " + a + " /passive /norestart /qn /l* " + a + ".log",
                         "/package " + b + " /passive /norestart /qn /l* " + b + ".log"}));

  // The second request goes to the instance already connected.
  const std::string failing = Package("fail.msi");
  result = Install(2, {failing, a}, nullptr);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 6);
  EXPECT_EQ(InfoJson(*result), "{\"error\":51}");
  EXPECT_EQ(Calls().size(), 3u) << "a package after the failing one was installed";
  EXPECT_EQ(ElevatedInstances(), 1);

  // Only packages in the download folder are installed.
  const std::string outside = sim_.dir().string() + "/elsewhere.msi";
  WriteFile(outside, "not downloaded");
  result = Install(3, {outside}, nullptr);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(InfoJson(*result), "{\"error\":51}");
  result = Install(4, {a + "/../../../elsewhere.msi"}, nullptr);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(InfoJson(*result), "{\"error\":51}");
  EXPECT_EQ(Calls().size(), 3u);

  SendWithHeader(17, 5, "{\"uuid\":\"\"}");
  result = WaitForResult(5, nullptr, 20s);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 1);
  EXPECT_EQ(InfoJson(*result), "{\"error\":0}");
}

TEST_F(ElevatedInstance, WithoutTheDeviceServiceInstallFails) {
  setenv("VADO_DEVICE_SERVICE", "no-such-device-service-*", 1);
  ASSERT_NO_FATAL_FAILURE(StartAll());
  const Seen* result = Install(1, {Package("AppleApplicationSupport.msi")});
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 6);
  EXPECT_EQ(InfoJson(*result), "{\"error\":51}");
  EXPECT_EQ(Calls().size(), 1u);
}

using RestartMonitoring = AgentFixture;

TEST_F(RestartMonitoring, AnswersFourteenWithoutTheDeviceService) {
  setenv("VADO_DEVICE_SERVICE", "no-such-device-service-*", 1);
  ASSERT_NO_FATAL_FAILURE(StartAll());
  unsetenv("VADO_DEVICE_SERVICE");
  SendRequest(10, 1, "");
  const Seen* result = WaitForResult(1, nullptr, 20s);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 14);
}

class RestartMonitoringWithDevice : public AgentFixture {};

TEST_F(RestartMonitoringWithDevice, AnswersZeroWhenTheDeviceServiceRuns) {
  Add(devsim::DeviceSpec{});
  ASSERT_NO_FATAL_FAILURE(StartAll());
  SendRequest(10, 1, "");
  const Seen* result = WaitForResult(1, nullptr, 20s);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
}

}  // namespace
