// Backups and restores through the agent (1600-1607) against the simulated device, with
// Debian's idevicebackup2 as the reference for what a backup holds.
#include <plist/plist.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <set>
#include <sstream>
#include <thread>

#include "agent_fixture.h"
#include "common/json_text.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Relative paths of every regular file below `folder`.
std::set<std::string> FilesBelow(const fs::path& folder) {
  std::set<std::string> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file()) files.insert(fs::relative(it->path(), folder).string());
  }
  return files;
}

// A top-level text of a property-list file.
std::string PlistText(const fs::path& file, const char* key) {
  const std::string bytes = ReadAll(file);
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  std::string text;
  plist_t node = root ? plist_dict_get_item(root, key) : nullptr;
  if (node && plist_get_node_type(node) == PLIST_STRING) {
    char* value = nullptr;
    plist_get_string_val(node, &value);
    text = value;
    free(value);
  }
  plist_free(root);
  return text;
}

class BackupTest : public AgentFixture {
 protected:
  devsim::DeviceSpec Spec(uint64_t seed, uint64_t bulk_files = 0, uint64_t bulk_bytes = 0) {
    devsim::DeviceSpec spec;
    spec.seed = seed;
    spec.media_files = 3;
    spec.apps = 2;
    spec.backup_files = bulk_files;
    spec.backup_bytes = bulk_bytes;
    return spec;
  }
  // Starts everything with `udids` attached and waits for each device.
  void Start(const std::vector<std::string>& udids) {
    StartAll();
    for (const std::string& udid : udids) ASSERT_NE(WaitArrival(udid), 0) << udid;
    root_ = sim_.dir() / "backups";
  }
  // Runs a request and returns its final message.
  const Seen* Run(uint32_t command, const std::string& udid, const std::string& body,
                  int sections = 1) {
    const uint64_t task = next_task_++;
    SendRequest(command, task, udid, 0, body, sections);
    last_task_ = task;
    return WaitForResult(task, nullptr, 55s);
  }
  // 1600 into root_; returns the backup folder the agent announced ("" when none).
  std::string Backup(const std::string& udid, int64_t* code) {
    const Seen* result = Run(1600, udid, "{\"path\":" + JsonQuote(root_.string()) + "}");
    last_result_ = result;
    *code = result ? Code(*result) : -1;
    for (const Seen* s : MessagesOf(last_task_)) {
      rapidjson::Document data;
      data.Parse(s->message.body.c_str());
      if (s->message.kind == 2 && data.IsObject() && data.HasMember("BackupDir")) {
        return data["BackupDir"].GetString();
      }
    }
    return "";
  }
  // The backup folder a task announced ("" when none came yet).
  std::string FolderOf(uint64_t task) {
    for (const Seen* s : MessagesOf(task)) {
      rapidjson::Document data;
      data.Parse(s->message.body.c_str());
      if (s->message.kind == 2 && data.IsObject() && data.HasMember("BackupDir")) {
        return data["BackupDir"].GetString();
      }
    }
    return "";
  }
  // Sends 600 for `task` and returns how long its result took (the result in `*result`).
  std::chrono::milliseconds CancelAndWait(const std::string& udid, uint64_t task,
                                          const Seen** result) {
    const auto start = std::chrono::steady_clock::now();
    SendRequest(600, next_task_++, udid, static_cast<int64_t>(task));
    *result = WaitForResult(task, nullptr, 10s);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }
  // A complete backup: the device's finished status, its manifests, no snapshot left.
  void ExpectComplete(const fs::path& folder) {
    EXPECT_EQ(PlistText(folder / "Status.plist", "SnapshotState"), "finished") << folder;
    EXPECT_TRUE(fs::exists(folder / "Manifest.db")) << folder;
    EXPECT_TRUE(fs::exists(folder / "Manifest.plist")) << folder;
    EXPECT_TRUE(fs::exists(folder / "Info.plist")) << folder;
    EXPECT_FALSE(fs::exists(folder / "Snapshot")) << folder;
  }
  std::string ErrorOf(const Seen* result) {
    if (!result || !result->header.HasMember("info") || !result->header["info"].IsObject()) return "";
    return result->header["info"]["error"].GetString();
  }

  fs::path root_;
  uint64_t next_task_ = 10;
  uint64_t last_task_ = 0;
  const Seen* last_result_ = nullptr;
};

TEST_F(BackupTest, BackupHoldsWhatIdevicebackup2ReceivesPlusInfoPlist) {
  const std::string udid = Add(Spec(31, 20, 200000));
  Start({udid});
  const fs::path reference = sim_.dir() / "reference";
  fs::create_directories(reference);
  devsim::testing::ToolResult tool =
      sim_.Run({"idevicebackup2", "-u", udid, "backup", "--full", reference.string()}, 55);
  ASSERT_EQ(tool.status, 0) << tool.out << tool.err;

  int64_t code = -1;
  const std::string folder = Backup(udid, &code);
  ASSERT_EQ(code, 0);
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(fs::path(folder).parent_path().parent_path(), root_);
  EXPECT_EQ(fs::path(folder).parent_path().filename().string().rfind(udid + "-", 0), 0u);

  std::set<std::string> ours = FilesBelow(folder);
  std::set<std::string> theirs = FilesBelow(reference / udid);
  EXPECT_EQ(ours, theirs);  // both write Info.plist beside the device's files
  for (const std::string& file : theirs) {
    if (file == "Info.plist" || file == "Status.plist" || file == "Manifest.plist" ||
        file == "Manifest.db") {
      continue;  // these carry dates of their run
    }
    EXPECT_EQ(fs::file_size(fs::path(folder) / file), fs::file_size(reference / udid / file)) << file;
  }
  EXPECT_EQ(PlistText(fs::path(folder) / "Status.plist", "SnapshotState"), "finished");

  const fs::path info = fs::path(folder) / "Info.plist";
  EXPECT_EQ(PlistText(info, "Target Identifier"), udid);
  EXPECT_EQ(PlistText(info, "Unique Identifier"), udid);
  EXPECT_EQ(PlistText(info, "Target Type"), "Device");
  EXPECT_EQ(PlistText(info, "iTunes Version"), "11.2.2.3");
  EXPECT_EQ(PlistText(info, "GUID").size(), 32u);
  EXPECT_FALSE(PlistText(info, "Product Type").empty());
  EXPECT_EQ(PlistText(info, "Device Name"), PlistText(info, "Display Name"));

  // Progress arrived in hundredths of a percent, rising, ending at 100 %.
  int64_t last = -1;
  for (const Seen* s : MessagesOf(last_task_)) {
    if (s->message.kind != 2 || s->header["stage"].GetInt() != 1) continue;
    EXPECT_GT(Code(*s), last);
    last = Code(*s);
  }
  EXPECT_EQ(last, 10000);
}

TEST_F(BackupTest, DeviceEndingsDecideCodeAndWhetherTheFolderStays) {
  const std::string udid = Add(Spec(32));
  Start({udid});
  struct Case {
    std::vector<std::string> fault;
    int64_t code;
    std::string error;
    bool folder_kept;
  };
  // A disconnect after progress reached 100 is how every good backup ends (the device's
  // goodbye after its final result); one before 100 is a failure.
  const Case cases[] = {
      {{"backup-disconnect", "99"}, 45, "", false},
      {{"backup-drop", "50"}, 2, "Task error.", true},
      {{"backup-error", "30", "105", "No room at all"}, 105, "No room at all", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault[0] + " " + c.fault[1]);
    std::vector<std::string> control = {"fault", udid};
    control.insert(control.end(), c.fault.begin(), c.fault.end());
    ASSERT_EQ(sim_.Control(control).status, 0);
    int64_t code = -1;
    const std::string folder = Backup(udid, &code);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(ErrorOf(last_result_), c.error);
    EXPECT_EQ(fs::exists(folder), c.folder_kept);
    ASSERT_EQ(sim_.Control({"fault", udid, "clear"}).status, 0);
    std::this_thread::sleep_for(1100ms);  // each run gets a folder of its own second
  }
}

TEST_F(BackupTest, HostileDevicePathsAreRefusedAndNothingIsWrittenOutside) {
  const std::string udid = Add(Spec(33));
  Start({udid});
  const std::string other = "00008110-0000000000000001";
  for (const std::string& hostile :
       {std::string("upload:../escaped"), std::string("upload:/tmp/vado-escaped-") + udid,
        "move:" + other + "/moved", std::string("remove:../keep")}) {
    SCOPED_TRACE(hostile);
    fs::create_directories(root_);
    std::ofstream(root_ / "keep") << "must survive";
    ASSERT_EQ(sim_.Control({"fault", udid, "backup-hostile", "0", hostile}).status, 0);
    int64_t code = -1;
    const std::string folder = Backup(udid, &code);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(ErrorOf(last_result_), "RefusedDevicePath");
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_FALSE(fs::exists(root_ / "escaped"));
    EXPECT_FALSE(fs::exists(root_.parent_path() / "escaped"));
    EXPECT_FALSE(fs::exists("/tmp/vado-escaped-" + udid));
    EXPECT_FALSE(fs::exists(root_ / other));
    EXPECT_TRUE(fs::exists(root_ / "keep"));
    ASSERT_EQ(sim_.Control({"fault", udid, "backup-hostile", "0"}).status, 0);
    std::this_thread::sleep_for(1100ms);
  }
}

TEST_F(BackupTest, RestoreWritesTheBackupIntoASecondDevice) {
  const std::string a = Add(Spec(34, 4, 4000));
  const std::string b = Add(Spec(35));
  Start({a, b});
  int64_t code = -1;
  const std::string folder = Backup(a, &code);
  ASSERT_EQ(code, 0);

  const Seen* result = Run(1601, b, "{\"path\":" + JsonQuote(folder) +
                                        ",\"sourceDeviceId\":" + JsonQuote(a) + "}");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0) << ErrorOf(result);
  const fs::path media_a = sim_.farm_dir() / "devices" / a / "fs/private/var/mobile/Media";
  const fs::path media_b = sim_.farm_dir() / "devices" / b / "fs/private/var/mobile/Media";
  for (const std::string& file : FilesBelow(media_a)) {
    ASSERT_TRUE(fs::exists(media_b / file)) << file;
    EXPECT_EQ(ReadAll(media_b / file), ReadAll(media_a / file)) << file;
  }

  result = Run(1601, b, "{\"sourceDeviceId\":" + JsonQuote(a) + "}");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 21);
  EXPECT_EQ(ErrorOf(result), "ParameterError");
  const fs::path broken = sim_.dir() / "broken";
  fs::create_directories(broken);
  std::ofstream(broken / "Manifest.plist") << "not a property list";
  result = Run(1601, b, "{\"path\":" + JsonQuote(broken.string() + "/") +
                            ",\"sourceDeviceId\":" + JsonQuote(a) + "}");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 42);
  EXPECT_EQ(ErrorOf(result), "BackupManifestPlistError");
}

TEST_F(BackupTest, ListingDescribesBackupsTwiceWithSizesTheSecondTime) {
  const std::string udid = Add(Spec(36));
  Start({udid});
  int64_t code = -1;
  const std::string folder = Backup(udid, &code);
  ASSERT_EQ(code, 0);
  // A hand-made backup whose Info.plist names only a "Unique Identifier".
  const fs::path handmade = root_ / "handmade";
  fs::create_directories(handmade);
  plist_t info = plist_new_dict();
  plist_dict_set_item(info, "Unique Identifier", plist_new_string("ABCDEF0123"));
  plist_dict_set_item(info, "Display Name", plist_new_string("Old Phone"));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(info, &xml, &length);
  std::ofstream(handmade / "Info.plist") << std::string(xml, length);
  free(xml);
  plist_free(info);
  std::ofstream(handmade / "Manifest.plist") << "x";
  std::ofstream(handmade / "Status.plist") << "x";

  for (const std::string& path : {root_.string(), folder}) {
    SCOPED_TRACE(path);
    const Seen* result = Run(1602, "", "{\"paths\":[" + JsonQuote(path) + "]}");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(Code(*result), 0);
    std::vector<rapidjson::Document> first, second;
    for (const Seen* s : MessagesOf(last_task_)) {
      if (s->message.kind != 2) continue;
      rapidjson::Document d;
      d.Parse(s->message.body.c_str());
      (s->header["stage"].GetInt() == 0 ? first : second).push_back(std::move(d));
    }
    const size_t expected = path == folder ? 1 : 2;  // a backup folder lists only itself
    ASSERT_EQ(first.size(), expected);
    ASSERT_EQ(second.size(), expected);
    for (size_t i = 0; i < expected; ++i) {
      EXPECT_FALSE(first[i].HasMember("Size"));
      ASSERT_TRUE(second[i].HasMember("Size"));
      EXPECT_EQ(second[i]["Size"].GetInt64(),
                static_cast<int64_t>([&] {
                  uintmax_t total = 0;
                  for (const std::string& f : FilesBelow(second[i]["Path"].GetString())) {
                    total += fs::file_size(fs::path(second[i]["Path"].GetString()) / f);
                  }
                  return total;
                }()));
    }
    if (expected == 2) {
      const rapidjson::Document& old = std::string(second[0]["Path"].GetString()).find("handmade") !=
                                               std::string::npos
                                           ? second[0]
                                           : second[1];
      EXPECT_STREQ(old["Unique Identifier"].GetString(), "abcdef0123");
      EXPECT_STREQ(old["Device Name"].GetString(), "Old Phone");
    }
  }
  const Seen* result = Run(1602, "", "{}");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 21);
}

TEST_F(BackupTest, StateCommandsAndPasswordFollowTheDevice) {
  const std::string udid = Add(Spec(37));
  // A program of the backup tool's name first on the agent's PATH notes every call: the
  // password must reach the device without any command line.
  const fs::path tools = sim_.dir() / "tools";
  const fs::path calls = sim_.dir() / "tool-calls";
  fs::create_directories(tools);
  std::ofstream(tools / "idevicebackup2") << "#!/bin/sh\necho \"$@\" >> '" << calls.string()
                                          << "'\nexit 1\n";
  fs::permissions(tools / "idevicebackup2", fs::perms::owner_all);
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (tools.string() + ":" + path).c_str(), 1);
  Start({udid});
  setenv("PATH", path.c_str(), 1);
  auto code_of = [&](uint32_t command, const std::string& who, const std::string& body = "") {
    const Seen* result = Run(command, who, body);
    return result ? Code(*result) : -1;
  };
  EXPECT_EQ(code_of(1604, udid), 1);  // encryption off
  EXPECT_EQ(code_of(1605, udid, "{\"password\":\"\"}"), 1);  // the device refuses
  EXPECT_EQ(code_of(1604, udid), 1);
  EXPECT_EQ(code_of(1605, udid, "{\"password\":\"s3cret\"}"), 0);
  EXPECT_EQ(code_of(1604, udid), 0);
  // Encryption is on already: the device refuses a new password without the old one, and
  // that is a failure even though encryption stays on.
  EXPECT_EQ(code_of(1605, udid, "{\"password\":\"other\"}"), 1);
  EXPECT_EQ(code_of(1604, udid), 0);
  EXPECT_FALSE(fs::exists(calls)) << ReadAll(calls);
  EXPECT_EQ(sim_.Run({"ideviceinfo", "-u", udid, "-q", "com.apple.mobile.backup", "-k",
                      "WillEncrypt"}).out,
            "true\n");
  EXPECT_EQ(code_of(1606, ""), 1);  // the desktop media program does not run here
  EXPECT_EQ(code_of(1607, ""), 0);
  EXPECT_EQ(code_of(1600, "", "{\"path\":\"\"}"), 7);
  EXPECT_EQ(code_of(1603, "no-such-device"), 7);
  // Two sections: nothing is done.
  const Seen* result = Run(1600, udid, "{\"path\":" + JsonQuote(root_.string()) + "}", 2);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  EXPECT_FALSE(fs::exists(root_));
}

TEST_F(BackupTest, EveryDeviceLinkRequestIsAnsweredAndTheBackupCompletes) {
  const std::string udid = Add(Spec(38, 6, 60000));
  Start({udid});
  // PurgeDiskSpace, MoveFiles, RemoveFiles and CopyItem each wait for an answer.
  ASSERT_EQ(sim_.Control({"fault", udid, "backup-variants", "1"}).status, 0);
  int64_t code = -1;
  const std::string folder = Backup(udid, &code);
  ASSERT_EQ(code, 0) << ErrorOf(last_result_);
  ExpectComplete(folder);
  std::set<std::string> files = FilesBelow(folder);
  EXPECT_EQ(files.count("Manifest.copy"), 0u);  // the copy went with the snapshot
  size_t data_files = 0;
  for (const std::string& file : files) data_files += file.size() > 40 && file[2] == '/';
  EXPECT_GE(data_files, 6u);
}

TEST_F(BackupTest, TwoBackupsOfOneDeviceAtOnceGetTwoCompleteFolders) {
  const std::string udid = Add(Spec(39, 4, 40000));
  Start({udid});
  const std::string body = "{\"path\":" + JsonQuote(root_.string()) + "}";
  const uint64_t first = next_task_++;
  const uint64_t second = next_task_++;
  SendRequest(1600, first, udid, 0, body);
  SendRequest(1600, second, udid, 0, body);
  const Seen* a = WaitForResult(first, nullptr, 55s);
  const Seen* b = WaitForResult(second, nullptr, 55s);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Code(*a), 0) << ErrorOf(a);
  EXPECT_EQ(Code(*b), 0) << ErrorOf(b);
  const std::string folder_a = FolderOf(first);
  const std::string folder_b = FolderOf(second);
  ASSERT_FALSE(folder_a.empty());
  EXPECT_NE(folder_a, folder_b);
  ExpectComplete(folder_a);
  ExpectComplete(folder_b);
  EXPECT_EQ(FilesBelow(folder_a), FilesBelow(folder_b));
}

TEST_F(BackupTest, ADeviceIsFoundByItsIdentifierOnly) {
  const std::string a = Add(Spec(40));
  Start({a});
  const int64_t handle = WaitArrival(a);
  ASSERT_NE(handle, 0);
  // A stale identifier beside the handle of an attached device names no device.
  SendRequest(1600, 900, "00008110-00000000000000FF", handle,
              "{\"path\":" + JsonQuote(root_.string()) + "}");
  const Seen* result = WaitForResult(900, nullptr, 20s);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 7);
  EXPECT_FALSE(fs::exists(root_));
}

TEST_F(BackupTest, RestoreThatCannotSendAFileTellsTheDeviceAndFails) {
  const std::string a = Add(Spec(41, 4, 4000));
  const std::string b = Add(Spec(42));
  Start({a, b});
  int64_t code = -1;
  const std::string folder = Backup(a, &code);
  ASSERT_EQ(code, 0);
  // One data file of the backup is gone.
  std::string lost;
  for (const std::string& file : FilesBelow(folder)) {
    if (file.size() > 40 && file[2] == '/') lost = file;
  }
  ASSERT_FALSE(lost.empty());
  fs::remove(fs::path(folder) / lost);

  const Seen* result = Run(1601, b, "{\"path\":" + JsonQuote(folder) +
                                        ",\"sourceDeviceId\":" + JsonQuote(a) + "}");
  ASSERT_NE(result, nullptr);
  EXPECT_NE(Code(*result), 0);
  EXPECT_EQ(result->message.kind, 6);
  // The device heard of it from the computer's answer, not only from the file stream.
  EXPECT_NE(ErrorOf(result).find("the computer reported " + a + "/" + lost +
                                 ": No such file or directory"),
            std::string::npos)
      << ErrorOf(result);
}

TEST_F(BackupTest, CancelDuringALargeBackupAnswersAtOnceAndLeavesNoFolder) {
  const std::string udid = Add(Spec(43, 64, uint64_t{1} << 30));
  Start({udid});
  const uint64_t task = next_task_++;
  SendRequest(1600, task, udid, 0, "{\"path\":" + JsonQuote(root_.string()) + "}");
  // Wait until file data flows (progress past the first upload mark of 1 %).
  const Seen* moving = WaitFor(
      [&](const Seen& s) {
        return s.message.task_id == task && s.message.kind == 2 && s.header.HasMember("stage") &&
               s.header["stage"].GetInt() == 1 && Code(s) > 100;
      },
      40s);
  ASSERT_NE(moving, nullptr);
  const std::string folder = FolderOf(task);
  ASSERT_FALSE(folder.empty());
  const Seen* result = nullptr;
  const auto took = CancelAndWait(udid, task, &result);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 6);
  EXPECT_EQ(result->message.kind, 5);
  EXPECT_EQ(ErrorOf(result), "Task cancelled.");
  EXPECT_LT(took, 2s);
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(BackupTest, StalledBackupIsCancellableAndEndsAtTheStallLimit) {
  setenv("VADO_BACKUP_STALL_SECONDS", "3", 1);
  const std::string udid = Add(Spec(44));
  Start({udid});
  unsetenv("VADO_BACKUP_STALL_SECONDS");
  int64_t code = -1;
  const std::string good = Backup(udid, &code);
  ASSERT_EQ(code, 0);
  // The device stops answering at its first request, in restores and backups alike.
  ASSERT_EQ(sim_.Control({"fault", udid, "backup-stall", "0"}).status, 0);
  const uint64_t restore = next_task_++;
  SendRequest(1601, restore, udid, 0,
              "{\"path\":" + JsonQuote(good) + ",\"sourceDeviceId\":" + JsonQuote(udid) + "}");
  std::this_thread::sleep_for(1500ms);
  const Seen* restored = nullptr;
  EXPECT_LT(CancelAndWait(udid, restore, &restored), 2s);
  ASSERT_NE(restored, nullptr);
  EXPECT_EQ(Code(*restored), 6);

  const uint64_t task = next_task_++;
  SendRequest(1600, task, udid, 0, "{\"path\":" + JsonQuote(root_.string()) + "}");
  ASSERT_NE(WaitFor([&](const Seen& s) { return !FolderOf(task).empty(); }, 20s), nullptr);
  // A second backup of the device waits for the first, and can be cancelled while it does.
  const uint64_t waiting = next_task_++;
  SendRequest(1600, waiting, udid, 0, "{\"path\":" + JsonQuote(root_.string()) + "}");
  std::this_thread::sleep_for(500ms);
  const Seen* result = nullptr;
  EXPECT_LT(CancelAndWait(udid, waiting, &result), 2s);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 6);
  EXPECT_EQ(FolderOf(waiting), "");

  const std::string folder = FolderOf(task);
  const auto took = CancelAndWait(udid, task, &result);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 6);
  EXPECT_LT(took, 2s);
  EXPECT_FALSE(fs::exists(folder));

  // Left alone, the stalled run ends by itself once nothing moved for the limit.
  const auto start = std::chrono::steady_clock::now();
  const std::string stalled = Backup(udid, &code);
  const auto took_stalled = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(code, 2);
  EXPECT_EQ(ErrorOf(last_result_), "DeviceStalled");
  EXPECT_LT(took_stalled, 10s);
  EXPECT_FALSE(stalled.empty());
  EXPECT_FALSE(fs::exists(stalled));
}

}  // namespace
