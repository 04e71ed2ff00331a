// The applications module end to end: the agent against the simulator, requests sent
// the way the front end sends them.
#include <gtest/gtest.h>

#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <set>
#include <optional>
#include <sstream>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "agent_fixture.h"
#include "ipa_builder.h"
#include "png_check.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kList = 501, kIcons = 502, kInstall = 504, kUninstall = 505, kArchive = 506;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// One farm application as the simulator stores it.
struct FarmApp {
  uint64_t static_usage = 0, dynamic_usage = 0;
  std::map<std::string, std::string> metadata;  // text members of iTunesMetadata.plist
  bool has_metadata = false;
};

std::string DictText(plist_t dict, const char* key) {
  plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!node || plist_get_node_type(node) != PLIST_STRING) return "";
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::string out = text ? text : "";
  free(text);
  return out;
}

uint64_t DictUint(plist_t dict, const char* key) {
  plist_t node = plist_dict_get_item(dict, key);
  uint64_t value = 0;
  if (node && plist_get_node_type(node) == PLIST_UINT) plist_get_uint_val(node, &value);
  return value;
}

plist_t ReadPlist(const fs::path& path) {
  std::string bytes = ReadFile(path);
  plist_t out = nullptr;
  if (!bytes.empty()) plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &out);
  return out;
}

std::map<std::string, FarmApp> ReadFarmUserApps(const fs::path& farm, const std::string& udid) {
  std::map<std::string, FarmApp> apps;
  for (const auto& entry : fs::directory_iterator(farm / "devices" / udid / "apps")) {
    plist_t attributes = ReadPlist(entry.path() / "Attributes.plist");
    if (!attributes) continue;
    if (DictText(attributes, "ApplicationType") == "User") {
      FarmApp app;
      app.static_usage = DictUint(attributes, "StaticDiskUsage");
      app.dynamic_usage = DictUint(attributes, "DynamicDiskUsage");
      if (plist_t meta = ReadPlist(entry.path() / "iTunesMetadata.plist")) {
        app.has_metadata = true;
        for (const char* key : {"itemName", "artistName", "appleId", "releaseDate",
                                "softwareIcon57x57URL", "purchaseDate"}) {
          app.metadata[key] = DictText(meta, key);
        }
        plist_free(meta);
      }
      apps[DictText(attributes, "CFBundleIdentifier")] = app;
    }
    plist_free(attributes);
  }
  return apps;
}

std::string Text(const rapidjson::Value& object, const char* key) {
  auto it = object.FindMember(key);
  return it != object.MemberEnd() && it->value.IsString() ? it->value.GetString() : "";
}

class AgentAppTest : public AgentFixture {
 protected:
  // A device with `apps` user applications, attached and arrived; returns its header.
  std::string StartWithDevice(uint64_t apps, uint64_t seed = 5) {
    devsim::DeviceSpec farm_device;
    farm_device.seed = seed;
    farm_device.apps = apps;
    udid_ = Add(farm_device);
    StartAll();
    if (HasFatalFailure()) return "";
    const Seen* arrival = WaitForArrival(udid_);
    EXPECT_NE(arrival, nullptr);
    if (arrival == nullptr) return "";
    return "{\"uuid\":\"" + udid_ + "\",\"code\":" +
           std::to_string(arrival->header["code"].GetInt64()) + "}";
  }
  fs::path DeviceDir() const { return sim_.farm_dir() / "devices" / udid_; }
  fs::path MediaDir() const { return DeviceDir() / "fs/private/var/mobile/Media"; }
  bool Installed(const std::string& id) const { return fs::exists(DeviceDir() / "apps" / id); }

  // The application objects a 501 request yields, checking the count message.
  std::vector<rapidjson::Document> ListApps(const std::string& header, uint64_t task) {
    std::vector<rapidjson::Document> apps;
    SendWithHeader(kList, task, header);
    std::vector<const Seen*> messages;
    const Seen* result = WaitForResult(task, &messages);
    EXPECT_NE(result, nullptr);
    if (result == nullptr) return apps;
    EXPECT_EQ(result->message.kind, 1);
    EXPECT_EQ(result->header["code"].GetInt64(), 0);
    EXPECT_FALSE(messages.empty());
    if (messages.empty()) return apps;
    const Seen* count = messages[0];
    EXPECT_EQ(count->header["stage"].GetInt(), 0);
    EXPECT_EQ(std::string(count->header["uuid"].GetString()), udid_);
    EXPECT_TRUE(count->message.body.empty());
    const auto& info = count->header["info"];
    EXPECT_TRUE(info.IsObject() && info.HasMember("Count"));
    for (size_t i = 1; i < messages.size(); ++i) {
      EXPECT_EQ(messages[i]->message.kind, 2);
      EXPECT_EQ(messages[i]->header["stage"].GetInt(), 1);
      rapidjson::Document app;
      app.Parse(messages[i]->message.body.c_str());
      EXPECT_TRUE(app.IsObject()) << messages[i]->message.body;
      apps.push_back(std::move(app));
    }
    if (info.IsObject() && info.HasMember("Count")) {
      EXPECT_EQ(info["Count"].GetUint64(), apps.size());
    }
    return apps;
  }

  // Kinds of the final messages of a task, and the progress codes seen before each.
  struct Outcome {
    std::vector<uint16_t> finals;
    std::vector<std::vector<int64_t>> progress;
    std::vector<const Seen*> messages;
    const Seen* result = nullptr;
  };
  Outcome RunCommand(uint32_t command, uint64_t task, const std::string& header,
                     const std::string& body) {
    Outcome out;
    SendWithHeader(command, task, header, body);
    out.result = WaitForResult(task, &out.messages);
    std::vector<int64_t> steps;
    for (const Seen* s : out.messages) {
      if (s->message.kind == 2) {
        steps.push_back(s->header["code"].GetInt64());
      } else {
        out.finals.push_back(s->message.kind);
        out.progress.push_back(steps);
        steps.clear();
      }
    }
    return out;
  }

  std::string udid_;
};

TEST_F(AgentAppTest, ListOnDeviceWithoutUserAppsSendsCountZeroOnly) {
  std::string header = StartWithDevice(0);
  ASSERT_FALSE(header.empty());
  std::vector<rapidjson::Document> apps = ListApps(header, 11);
  EXPECT_TRUE(apps.empty());
  std::vector<const Seen*> messages;
  WaitForResult(11, &messages);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->header["info"]["Count"].GetInt(), 0);
}

TEST_F(AgentAppTest, ListWhoseBrowseAnswersAnErrorFails) {
  std::string header = StartWithDevice(3);
  ASSERT_FALSE(header.empty());
  ASSERT_EQ(sim_.Control({"fault", udid_, "browse-error", "1"}).status, 0);
  std::vector<const Seen*> messages;
  SendWithHeader(kList, 12, header);
  const Seen* result = WaitForResult(12, &messages);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 6);
  EXPECT_EQ(result->header["code"].GetInt64(), 14);
  EXPECT_TRUE(messages.empty());  // no count 0 that would read as an empty device
  ASSERT_EQ(sim_.Control({"fault", udid_, "browse-error", "0"}).status, 0);
  EXPECT_EQ(ListApps(header, 13).size(), 3u);
}

TEST_F(AgentAppTest, InstallWhoseUploadFailsMidwayReportsKind6) {
  std::string header = StartWithDevice(0);
  ASSERT_FALSE(header.empty());
  ASSERT_EQ(sim_.Control({"fault", udid_, "afc-fail-write", "65536"}).status, 0);
  fs::path package = sim_.dir() / "big.ipa";
  devsim::testing::ZipMembers members =
      devsim::testing::PackageMembers("com.example.bigupload", "Big", "1");
  // Bytes that do not compress, so the package is well past the failing point.
  std::string blob(1 << 20, '\0');
  uint32_t state = 12345;
  for (char& c : blob) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  members.emplace_back("Payload/Big.app/blob.bin", blob);
  ASSERT_TRUE(devsim::testing::WriteZip(package, members));
  Outcome out = RunCommand(kInstall, 14, header, "[\"" + package.string() + "\"]");
  ASSERT_NE(out.result, nullptr);
  EXPECT_NE(std::find(out.finals.begin(), out.finals.end(), uint16_t{6}), out.finals.end());
  EXPECT_FALSE(Installed("com.example.bigupload"));
}

TEST_F(AgentAppTest, ListOf300AppsCarriesStoreMetadataAndFarmSizes) {
  std::string header = StartWithDevice(300);
  ASSERT_FALSE(header.empty());
  std::vector<rapidjson::Document> apps = ListApps(header, 12);
  std::map<std::string, FarmApp> farm = ReadFarmUserApps(sim_.farm_dir(), udid_);
  ASSERT_EQ(farm.size(), 300u);
  ASSERT_EQ(apps.size(), 300u);
  std::set<std::string> seen;
  int without_metadata = 0;
  for (const auto& app : apps) {
    std::string id = Text(app, "CFBundleIdentifier");
    ASSERT_EQ(farm.count(id), 1u) << id;
    EXPECT_TRUE(seen.insert(id).second) << "listed twice: " << id;
    const FarmApp& expected = farm[id];
    EXPECT_EQ(Text(app, "ApplicationType"), "User");
    EXPECT_FALSE(Text(app, "CFBundleVersion").empty());
    EXPECT_FALSE(Text(app, "Path").empty());
    ASSERT_TRUE(app.HasMember("data-size") && app.HasMember("app-size")) << id;
    EXPECT_EQ(app["data-size"].GetUint64(), expected.dynamic_usage) << id;
    EXPECT_EQ(app["app-size"].GetUint64(), expected.static_usage) << id;
    if (!expected.has_metadata) {
      ++without_metadata;
      EXPECT_FALSE(app.HasMember("itemName")) << id;
      EXPECT_FALSE(app.HasMember("AppleID")) << id;
      continue;
    }
    EXPECT_EQ(Text(app, "itemName"), expected.metadata.at("itemName"));
    EXPECT_EQ(Text(app, "artistName"), expected.metadata.at("artistName"));
    EXPECT_EQ(Text(app, "AppleID"), expected.metadata.at("appleId"));
    EXPECT_EQ(Text(app, "releaseDate"), expected.metadata.at("releaseDate"));
    EXPECT_EQ(Text(app, "purchaseDate"), expected.metadata.at("purchaseDate"));
    EXPECT_EQ(Text(app, "softwareIcon57x57URL"), expected.metadata.at("softwareIcon57x57URL"));
  }
  // The farm leaves the store metadata out of some apps; they are listed all the same.
  EXPECT_GT(without_metadata, 0);
}

TEST_F(AgentAppTest, IconsArePngsAndOddBundleIdsStayExactInValidJson) {
  std::string header = StartWithDevice(3);
  ASSERT_FALSE(header.empty());
  std::vector<rapidjson::Document> apps = ListApps(header, 20);
  ASSERT_EQ(apps.size(), 3u);
  std::vector<std::string> ids;
  for (const auto& app : apps) ids.push_back(Text(app, "CFBundleIdentifier"));
  // Unknown ids get the generic icon; these must reach the device and come back intact.
  ids.push_back("com.example.\"quoted\"\\id");
  ids.push_back("com.example.a<b&c>d");
  ids.push_back("com.example." + std::string(600, 'x'));
  rapidjson::Document body(rapidjson::kArrayType);
  for (const std::string& id : ids) {
    body.PushBack(rapidjson::Value(id.c_str(), body.GetAllocator()), body.GetAllocator());
  }
  std::string body_text;
  {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    body.Accept(writer);
    body_text = buffer.GetString();
  }
  SendWithHeader(kIcons, 21, header, body_text);
  std::vector<const Seen*> messages;
  const Seen* result = WaitForResult(21, &messages);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 1);
  ASSERT_EQ(messages.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    const Seen& s = *messages[i];
    ASSERT_TRUE(s.header.IsObject()) << "header is not JSON: " << s.message.header;
    EXPECT_EQ(s.header["type"].GetInt(), 1);
    EXPECT_EQ(std::string(s.header["uuid"].GetString()), udid_);
    ASSERT_TRUE(s.header["info"].IsObject());
    EXPECT_EQ(Text(s.header["info"], "bundle_id"), ids[i]);
    devsim::testing::PngInfo png = devsim::testing::CheckPng(s.message.body);
    EXPECT_TRUE(png.valid) << ids[i];
    EXPECT_GT(png.width, 0u);
  }
  // The installed apps' icons are the farm's own files.
  EXPECT_EQ(messages[0]->message.body, ReadFile(DeviceDir() / "apps" / ids[0] / "icon.png"));
}

TEST_F(AgentAppTest, IconsWithEmptyListReplyZeroAndSendNothing) {
  std::string header = StartWithDevice(2);
  ASSERT_FALSE(header.empty());
  SendWithHeader(kIcons, 30, header, "[]");
  std::vector<const Seen*> messages;
  const Seen* result = WaitForResult(30, &messages);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 1);
  EXPECT_EQ(result->header["code"].GetInt64(), 0);
  EXPECT_TRUE(messages.empty());
}

TEST_F(AgentAppTest, InstallsTwoPackagesWithProgressThenListsThem) {
  std::string header = StartWithDevice(0);
  ASSERT_FALSE(header.empty());
  fs::path first = sim_.dir() / "first.ipa", second = sim_.dir() / "second app.ipa";
  ASSERT_TRUE(devsim::testing::WriteZip(
      first, devsim::testing::PackageMembers("com.example.first", "First", "1")));
  ASSERT_TRUE(devsim::testing::WriteZip(
      second, devsim::testing::PackageMembers("com.example.second", "Second", "2")));
  Outcome out = RunCommand(kInstall, 40, header,
                           "[\"" + first.string() + "\",\"" + second.string() + "\"]");
  ASSERT_NE(out.result, nullptr);
  EXPECT_EQ(out.result->message.kind, 1);
  ASSERT_EQ(out.finals, (std::vector<uint16_t>{7, 7}));
  for (const auto& steps : out.progress) {
    ASSERT_FALSE(steps.empty());
    EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));
    EXPECT_GT(steps.back(), 50);
  }
  for (const Seen* s : out.messages) {
    EXPECT_EQ(s->header["stage"].GetInt(), 2);
    EXPECT_EQ(std::string(s->header["uuid"].GetString()), udid_);
  }
  EXPECT_TRUE(Installed("com.example.first"));
  EXPECT_TRUE(Installed("com.example.second"));
  // Staged under the bundle id.
  EXPECT_TRUE(fs::exists(MediaDir() / "general_storage/com.example.first.ipa"));

  std::vector<rapidjson::Document> apps = ListApps(header, 41);
  std::set<std::string> ids;
  for (const auto& app : apps) ids.insert(Text(app, "CFBundleIdentifier"));
  EXPECT_EQ(ids, (std::set<std::string>{"com.example.first", "com.example.second"}));
  for (const auto& app : apps) {
    EXPECT_EQ(Text(app, "artistName"), "Example Ltd.");  // from the package's store metadata
  }
}

TEST_F(AgentAppTest, BrokenAndMissingPackagesEachEndWithKind6) {
  std::string header = StartWithDevice(0);
  ASSERT_FALSE(header.empty());
  fs::path broken = sim_.dir() / "broken.ipa";
  std::ofstream(broken) << "this is not a zip archive";
  fs::path missing = sim_.dir() / "missing.ipa";
  fs::path good = sim_.dir() / "good.ipa";
  ASSERT_TRUE(devsim::testing::WriteZip(
      good, devsim::testing::PackageMembers("com.example.good", "Good", "1")));
  Outcome out = RunCommand(kInstall, 50, header,
                           "[\"" + broken.string() + "\",\"" + missing.string() + "\",\"" +
                               good.string() + "\"]");
  ASSERT_NE(out.result, nullptr);
  EXPECT_EQ(out.result->message.kind, 1);
  EXPECT_EQ(out.finals, (std::vector<uint16_t>{6, 6, 7}));
  EXPECT_TRUE(Installed("com.example.good"));
}

TEST_F(AgentAppTest, UninstallAndArchiveReportProgressAndCompletion) {
  std::string header = StartWithDevice(3);
  ASSERT_FALSE(header.empty());
  std::vector<rapidjson::Document> apps = ListApps(header, 60);
  ASSERT_EQ(apps.size(), 3u);
  std::string removed = Text(apps[0], "CFBundleIdentifier");
  std::string archived = Text(apps[1], "CFBundleIdentifier");

  Outcome uninstall = RunCommand(kUninstall, 61, header, "[\"" + removed + "\"]");
  ASSERT_NE(uninstall.result, nullptr);
  EXPECT_EQ(uninstall.result->message.kind, 1);
  ASSERT_EQ(uninstall.finals, (std::vector<uint16_t>{7}));
  EXPECT_FALSE(uninstall.progress[0].empty());
  for (const Seen* s : uninstall.messages) {
    EXPECT_EQ(std::string(s->header["uuid"].GetString()), udid_);
    ASSERT_TRUE(s->header["info"].IsString()) << s->message.header;
    EXPECT_EQ(std::string(s->header["info"].GetString()), removed);
  }
  EXPECT_FALSE(Installed(removed));

  Outcome archive = RunCommand(kArchive, 62, header, "[\"" + archived + "\"]");
  ASSERT_NE(archive.result, nullptr);
  ASSERT_EQ(archive.finals, (std::vector<uint16_t>{7}));
  EXPECT_FALSE(archive.progress[0].empty());
  EXPECT_TRUE(fs::exists(MediaDir() / "ApplicationArchives" / (archived + ".zip")));
  // The second archive of the same app is refused by the device.
  Outcome again = RunCommand(kArchive, 63, header, "[\"" + archived + "\"]");
  ASSERT_NE(again.result, nullptr);
  EXPECT_EQ(again.result->message.kind, 1);
  EXPECT_EQ(again.finals, (std::vector<uint16_t>{6}));
}

TEST_F(AgentAppTest, UninstallOfOddBundleIdKeepsItExact) {
  std::string header = StartWithDevice(0);
  ASSERT_FALSE(header.empty());
  const std::string id = "com.example.<tag>&amp;\"q\"";
  Outcome out = RunCommand(kUninstall, 70, header, "[\"com.example.<tag>&amp;\\\"q\\\"\"]");
  ASSERT_NE(out.result, nullptr);
  ASSERT_FALSE(out.messages.empty());
  for (const Seen* s : out.messages) {
    ASSERT_TRUE(s->header.IsObject()) << s->message.header;
    EXPECT_EQ(std::string(s->header["info"].GetString()), id);
  }
  EXPECT_EQ(out.finals, (std::vector<uint16_t>{7}));
}

TEST_F(AgentAppTest, SectionCountOtherThanOneRepliesZeroAndDoesNothing) {
  std::string header = StartWithDevice(2);
  ASSERT_FALSE(header.empty());
  std::string victim;
  for (const auto& entry : fs::directory_iterator(DeviceDir() / "apps")) {
    plist_t attributes = ReadPlist(entry.path() / "Attributes.plist");
    if (DictText(attributes, "ApplicationType") == "User") victim = entry.path().filename();
    plist_free(attributes);
  }
  ASSERT_FALSE(victim.empty());
  std::string payload = vadoctl::BuildRequestPayload(header, "[\"" + victim + "\"]", false);
  payload[0] = '2';
  SendPayload(kUninstall, 80, payload);
  std::vector<const Seen*> messages;
  const Seen* result = WaitForResult(80, &messages);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 1);
  EXPECT_EQ(result->header["code"].GetInt64(), 0);
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(Installed(victim));

  payload = vadoctl::BuildRequestPayload(header, "", false);
  payload[0] = '2';
  SendPayload(kList, 81, payload);
  ASSERT_NE(result = WaitForResult(81, &messages), nullptr);
  EXPECT_EQ(result->header["code"].GetInt64(), 0);
  EXPECT_TRUE(messages.empty());
}

TEST_F(AgentAppTest, RequestErrorsGiveTheirCodes) {
  std::string header = StartWithDevice(0);
  ASSERT_FALSE(header.empty());
  SendWithHeader(kList, 90, "{\"uuid\":\"no-such-device\",\"code\":12345}");
  const Seen* result = WaitForResult(90);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->message.kind, 6);
  EXPECT_EQ(result->header["code"].GetInt64(), 7);
  EXPECT_EQ(std::string(result->header["uuid"].GetString()), "no-such-device");

  SendWithHeader(kUninstall, 91, "{not json");
  ASSERT_NE(result = WaitForResult(91), nullptr);
  EXPECT_EQ(result->header["code"].GetInt64(), 21);

  SendWithHeader(kUninstall, 92, header, "[\"unterminated");
  ASSERT_NE(result = WaitForResult(92), nullptr);
  EXPECT_EQ(result->header["code"].GetInt64(), 8);

  SendWithHeader(kIcons, 93, header, "{\"not\":\"an array\"}");
  ASSERT_NE(result = WaitForResult(93), nullptr);
  EXPECT_EQ(result->header["code"].GetInt64(), 8);

  // The device is found by its handle when the identifier is absent.
  std::string by_handle = header;
  by_handle.replace(by_handle.find(udid_), udid_.size(), "");
  std::vector<const Seen*> messages;
  SendWithHeader(kList, 94, by_handle);
  ASSERT_NE(result = WaitForResult(94, &messages), nullptr);
  EXPECT_EQ(result->header["code"].GetInt64(), 0);
  EXPECT_EQ(messages.size(), 1u);
}

}  // namespace
