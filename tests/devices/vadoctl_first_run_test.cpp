// vadoctl as a newcomer runs it: with no device service running it starts the simulator
// with the sample farm the first README command serves, and it says what it found.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "sim_harness.h"

namespace {

class VadoctlSampleFarm : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::filesystem::exists("/var/run/usbmuxd")) {
      GTEST_SKIP() << "the system's usbmuxd is running: vadoctl would use it, not the sample farm";
    }
  }

  // vadoctl with no device service named (the harness only gives a private HOME and TMPDIR).
  devsim::testing::ToolResult Vadoctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"env", "-u", "USBMUXD_SOCKET_ADDRESS",
                                     "TMPDIR=" + sim_.dir().string(), VADO_VADOCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return sim_.Run(argv, 50);
  }

  devsim::testing::SimHarness sim_;
};

TEST_F(VadoctlSampleFarm, AppsWithIconsAndContactsInGroups) {
  devsim::testing::ToolResult apps = Vadoctl({"apps", "--json"});
  ASSERT_EQ(apps.status, 0) << apps.err;
  EXPECT_NE(apps.err.find("started the simulator"), std::string::npos) << apps.err;
  std::istringstream lines(apps.out);
  size_t listed = 0;
  for (std::string line; std::getline(lines, line);) {
    rapidjson::Document app;
    app.Parse(line.c_str());
    ASSERT_TRUE(app.IsObject() && app.HasMember("CFBundleIdentifier")) << line;
    ++listed;
  }
  EXPECT_GE(listed, 5u);

  const std::filesystem::path icons = sim_.dir() / "icons";
  devsim::testing::ToolResult written = Vadoctl({"icons", "--out", icons.string()});
  ASSERT_EQ(written.status, 0) << written.err;
  size_t pngs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(icons)) {
    if (entry.path().extension() == ".png" && entry.file_size() > 0) ++pngs;
  }
  EXPECT_EQ(pngs, listed);

  devsim::testing::ToolResult contacts = Vadoctl({"contacts", "list", "--json", "--compact"});
  ASSERT_EQ(contacts.status, 0) << contacts.err;
  rapidjson::Document book;
  book.Parse(contacts.out.c_str());
  ASSERT_TRUE(book.IsObject()) << contacts.out;
  ASSERT_TRUE(book["contacts"].IsObject() && book["groups"].IsObject());
  EXPECT_GE(book["contacts"].MemberCount(), 10u);
  EXPECT_GE(book["groups"].MemberCount(), 1u);

  // The same list as a table: one row per contact and the count last.
  devsim::testing::ToolResult table = Vadoctl({"contacts", "list", "--readable"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find(std::to_string(book["contacts"].MemberCount()) + " contacts\n"),
            std::string::npos)
      << table.out;
}

TEST_F(VadoctlSampleFarm, CalendarsBookmarksAndNotesAreThere) {
  for (const char* kind : {"calendars", "bookmarks", "notes"}) {
    SCOPED_TRACE(kind);
    devsim::testing::ToolResult listed = Vadoctl({kind, "list", "--json", "--compact"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    rapidjson::Document records;
    records.Parse(listed.out.c_str());
    ASSERT_TRUE(records.IsArray()) << listed.out;
    EXPECT_GE(records.Size(), 1u);
    if (std::string(kind) == "calendars") {
      size_t events = 0;
      for (const auto& calendar : records.GetArray()) events += calendar["events"].Size();
      EXPECT_GE(events, 10u);
    }
  }
}

// A device service with a device that has not been trusted yet: vadoctl names the service,
// then the device and what the user must do, and gives up after --device-wait seconds.
TEST(VadoctlFirstRun, SaysWhichServiceItFoundAndThatTheDeviceWaitsForTrust) {
  devsim::testing::SimHarness sim;
  devsim::DeviceSpec device;
  device.untrusted = true;
  device.name = "Ann's iPhone";
  sim.AddDevice(device);
  ASSERT_TRUE(sim.Start());
  devsim::testing::ToolResult info =
      sim.Run({VADO_VADOCTL_PATH, "--device-wait", "15", "info", "--json"}, 50);
  EXPECT_EQ(info.status, 1) << info.err;
  EXPECT_NE(info.err.find("found the device service at UNIX:" + sim.socket_path() +
                          " with 1 device attached"),
            std::string::npos)
      << info.err;
  EXPECT_NE(info.err.find("is waiting for trust"), std::string::npos) << info.err;
  EXPECT_NE(info.err.find("no device arrived"), std::string::npos) << info.err;
  EXPECT_TRUE(info.out.empty()) << info.out;
}

}  // namespace
