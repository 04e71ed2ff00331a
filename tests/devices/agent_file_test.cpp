// Block downloads (702) and uploads (703) end to end: the agent against the simulator,
// driven the way the front end drives them (the vadoctl transfer client).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <sstream>

#include <minizip/unzip.h>
#include <openssl/evp.h>


#include <map>
#include <set>
#include <thread>

#include "agent_fixture.h"
#include "file_transfer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}

// Bytes that differ from block to block and hold runs of 0x16 (heartbeat bytes).
std::string Pattern(size_t size, unsigned seed) {
  std::string out(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    out[i] = static_cast<char>(state >> 24);
  }
  for (size_t i = 1000; i + 8 < size; i += 1 << 20) std::memset(&out[i], 0x16, 8);
  return out;
}

// The integer member `key` of a header, or -1 when there is none.
int64_t IntMember(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return -1;
  auto found = object.FindMember(key);
  return found != object.MemberEnd() && found->value.IsInt64() ? found->value.GetInt64() : -1;
}

// The object member `key`, or null.
const rapidjson::Value* ObjectMember(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return nullptr;
  auto found = object.FindMember(key);
  return found != object.MemberEnd() && found->value.IsObject() ? &found->value : nullptr;
}

class AgentFileTest : public AgentFixture {
 protected:
  void SetUp() override {
    devsim::DeviceSpec device;
    device.seed = 7;
    udid_ = Add(device);
    StartAll();
    handle_ = WaitArrival(udid_);
    ASSERT_NE(handle_, 0);
  }
  fs::path Media() const { return sim_.farm_dir() / "devices" / udid_ / "fs/private/var/mobile/Media"; }
  vadoctl::FileTransferClient Client() {
    return vadoctl::FileTransferClient(link_, vadoctl::DeviceChoice{udid_, handle_}, 20s);
  }
  std::string StepHeader(int stage) const {
    return "{\"uuid\":\"" + udid_ + "\",\"code\":" + std::to_string(handle_) +
           ",\"stage\":" + std::to_string(stage) + "}";
  }
  // True when no message of `task` arrives within `wait`.
  bool Silent(uint64_t task, std::chrono::milliseconds wait) {
    return WaitFor([&](const Seen& s) { return s.message.task_id == task; }, wait) == nullptr;
  }

  std::string udid_;
  int64_t handle_ = 0;
};

TEST_F(AgentFileTest, DownloadCutsFiveMebibytesIntoThreeBlocksAndReturnsTheBytes) {
  std::string content = Pattern(5 << 20, 1);
  WriteFile(Media() / "dl/five.bin", content);
  fs::path local = sim_.dir() / "five.bin";
  vadoctl::TransferOutcome outcome = Client().Pull(10, "/dl/five.bin", local.string());
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.blocks, 3);
  EXPECT_TRUE(ReadFile(local) == content);
}

TEST_F(AgentFileTest, DownloadOfAnEmptyFileFailsAndAStrayBlockStepIsIgnored) {
  WriteFile(Media() / "dl/empty.bin", "");
  SendWithHeader(702, 11, StepHeader(1), "{\"path\":\"/dl/empty.bin\"}");
  const Seen* failed = WaitFor([](const Seen& s) { return s.message.task_id == 11; });
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->message.kind, 6);
  EXPECT_EQ(failed->header["stage"].GetInt(), 1);
  // A block step of a task that has no reader gets no answer.
  SendWithHeader(702, 12, StepHeader(2), "{\"id\":1,\"offset_length\":10,\"offset\":0}");
  EXPECT_TRUE(Silent(12, 1500ms));
}

TEST_F(AgentFileTest, UploadIntoAFolderAndBooksCommitsUnderFreeNames) {
  fs::path local = sim_.dir() / "nine.bin";
  std::string content = Pattern(9 << 20, 2);
  WriteFile(local, content);
  vadoctl::TransferTarget folder{"/Uploads", false};
  fs::create_directories(Media() / "Uploads");
  vadoctl::TransferOutcome outcome = Client().Push(20, local.string(), folder);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.device_path, "/Uploads/nine.bin");
  EXPECT_EQ(outcome.blocks, 5);
  EXPECT_TRUE(ReadFile(Media() / "Uploads/nine.bin") == content);
  EXPECT_FALSE(fs::exists(Media() / "Uploads/nine.bin.bak"));
  EXPECT_FALSE(fs::exists(Media() / "Uploads/nine.bin.json"));

  fs::path book = sim_.dir() / "b.epub";
  WriteFile(book, "epub bytes");
  fs::create_directories(Media() / "Books");
  vadoctl::TransferTarget books{"", true};
  outcome = Client().Push(21, book.string(), books);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.device_path, "/Books/b.epub");
  outcome = Client().Push(22, book.string(), books);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.device_path, "/Books/b(1).epub");
  EXPECT_EQ(ReadFile(Media() / "Books/b(1).epub"), "epub bytes");
}

// The device refuses the rename that commits a finished upload: the upload is reported
// as failed, and neither the file nor its staging copy is left on the device.
TEST_F(AgentFileTest, UploadWhoseCommitTheDeviceRefusesFailsAndLeavesNothing) {
  fs::path local = sim_.dir() / "refused.bin";
  WriteFile(local, Pattern(3 << 20, 5));
  fs::create_directories(Media() / "Uploads");
  ASSERT_EQ(sim_.Control({"fault", udid_, "afc-fail-rename", "1"}).status, 0);
  vadoctl::TransferOutcome outcome = Client().Push(25, local.string(), {"/Uploads", false});
  EXPECT_FALSE(outcome.ok);
  ASSERT_EQ(sim_.Control({"fault", udid_, "clear"}).status, 0);
  EXPECT_TRUE(fs::is_empty(Media() / "Uploads"));
  // With the device taking renames again the same upload goes through.
  outcome = Client().Push(26, local.string(), {"/Uploads", false});
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.device_path, "/Uploads/refused.bin");
}

TEST_F(AgentFileTest, UploadNamesThatLeaveTheFolderAreRefused) {
  fs::create_directories(Media() / "Uploads");
  for (const char* name : {"..", ".", "", "a/b"}) {
    std::string header = "{\"uuid\":\"" + udid_ + "\",\"code\":" + std::to_string(handle_) +
                         ",\"stage\":1,\"info\":{\"name\":\"" + name + "\",\"dir\":\"/Uploads\"}}";
    SendWithHeader(703, 30, header, "{\"md5\":\"\",\"version\":\"1\",\"size\":4,"
                                    "\"fbs\":{\"1\":{\"offset\":0,\"offset_length\":4}}}");
  }
  EXPECT_TRUE(Silent(30, 1500ms));
  EXPECT_TRUE(fs::is_empty(Media() / "Uploads"));
}

// The device is unplugged once 5 MiB of a 9 MiB upload have been written: blocks 1 and 2
// are on the device and in the journal, block 3 never arrived. With the device back, the
// same upload asks only for blocks 3 to 5 and commits the whole file.
TEST_F(AgentFileTest, UploadCutByAnUnplugResumesWithTheMissingBlocksOnly) {
  fs::path local = sim_.dir() / "cut.bin";
  std::string content = Pattern(9 << 20, 3);
  WriteFile(local, content);
  fs::create_directories(Media() / "Uploads");
  ASSERT_EQ(sim_.Control({"fault", udid_, "afc-unplug-write", std::to_string(5 << 20)}).status, 0);
  vadoctl::FileTransferClient first(link_, vadoctl::DeviceChoice{udid_, handle_}, 5s);
  vadoctl::TransferOutcome outcome = first.Push(40, local.string(), {"/Uploads", false});
  EXPECT_FALSE(outcome.ok);
  // The client read (and dropped) the departure while it waited; the simulator says it.
  EXPECT_NE(sim_.Control({"list"}).out.find("detached"), std::string::npos);
  ASSERT_TRUE(fs::exists(Media() / "Uploads/cut.bin.json"));
  ASSERT_TRUE(fs::exists(Media() / "Uploads/cut.bin.bak"));

  seen_.clear();
  ASSERT_EQ(sim_.Control({"plug", udid_}).status, 0);
  const int64_t handle = WaitArrival(udid_);
  ASSERT_NE(handle, 0);
  vadoctl::FileTransferClient second(link_, vadoctl::DeviceChoice{udid_, handle}, 20s);
  outcome = second.Push(41, local.string(), {"/Uploads", false});
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.device_path, "/Uploads/cut.bin");
  EXPECT_EQ(outcome.blocks, 3);
  EXPECT_EQ(Md5Hex(ReadFile(Media() / "Uploads/cut.bin")), Md5Hex(content));
  EXPECT_FALSE(fs::exists(Media() / "Uploads/cut.bin.json"));
  EXPECT_FALSE(fs::exists(Media() / "Uploads/cut.bin.bak"));
}

TEST_F(AgentFileTest, PushThenPullOfAHundredMebibytesRoundTrips) {
  fs::path local = sim_.dir() / "big.bin";
  std::string content = Pattern(100 << 20, 4);
  WriteFile(local, content);
  fs::create_directories(Media() / "Uploads");
  vadoctl::TransferOutcome up = Client().Push(60, local.string(), {"/Uploads", false});
  ASSERT_TRUE(up.ok) << up.error;
  EXPECT_EQ(up.blocks, 50);
  fs::path back = sim_.dir() / "back.bin";
  vadoctl::TransferOutcome down = Client().Pull(61, up.device_path, back.string());
  ASSERT_TRUE(down.ok) << down.error;
  EXPECT_EQ(down.bytes, static_cast<int64_t>(content.size()));
  EXPECT_TRUE(ReadFile(back) == content);
}

// Entry name → bytes of every file in a zip archive.
std::map<std::string, std::string> ReadZip(const fs::path& path) {
  std::map<std::string, std::string> entries;
  unzFile zip = unzOpen64(path.c_str());
  if (zip == nullptr) return entries;
  for (int more = unzGoToFirstFile(zip); more == UNZ_OK; more = unzGoToNextFile(zip)) {
    char name[512];
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, name, sizeof(name), nullptr, 0, nullptr, 0) != UNZ_OK ||
        unzOpenCurrentFile(zip) != UNZ_OK) {
      break;
    }
    std::string bytes(info.uncompressed_size, '\0');
    int got = unzReadCurrentFile(zip, bytes.data(), static_cast<unsigned>(bytes.size()));
    unzCloseCurrentFile(zip);
    if (got >= 0) bytes.resize(got);
    entries[name] = bytes;
  }
  unzClose(zip);
  return entries;
}

TEST_F(AgentFileTest, CopyOutWritesFilesFoldersAndZippedPackages) {
  WriteFile(Media() / "co/photo.jpg", "jpeg");
  WriteFile(Media() / "co/dir/one.txt", "1");
  WriteFile(Media() / "co/dir/sub/two.txt", "22");
  WriteFile(Media() / "co/book.epub/mimetype", "application/epub+zip");
  WriteFile(Media() / "co/book.epub/OEBPS/ch1.xhtml", "<html/>");
  fs::path out = sim_.dir() / "out";
  fs::create_directories(out);
  std::string body = "[[\"a:b\",\"/co/photo.jpg\",\"" + out.string() + "\"]," +
                     "[\"folder\",\"/co/dir\",\"" + out.string() + "\"]," +
                     "[\"novel\",\"/co/book.epub\",\"" + out.string() + "\"]," +
                     "[\"missing\",\"/co/none.bin\",\"" + out.string() + "\"]," +
                     "[\"skip\",\"\",\"" + out.string() + "\"], 5, [\"x\"]]";
  std::vector<const Seen*> messages;
  SendRequest(701, 50, udid_, handle_, body);
  const Seen* result = WaitForResult(50, &messages);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Code(*result), 0);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0]->header["info"].GetString(), (out / "a_b.jpg").string());
  EXPECT_EQ(ReadFile(out / "a_b.jpg"), "jpeg");
  EXPECT_EQ(ReadFile(out / "folder/sub/two.txt"), "22");
  ASSERT_TRUE(fs::is_regular_file(out / "novel.epub"));
  std::map<std::string, std::string> entries = ReadZip(out / "novel.epub");
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries["mimetype"], "application/epub+zip");
  EXPECT_EQ(entries["OEBPS/ch1.xhtml"], "<html/>");
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 3);
}

// Every block step of a download sent at once: the agent serves them on several workers,
// and each answer must hold the bytes of the block it names.
TEST_F(AgentFileTest, DownloadStepsSentTogetherEachCarryTheirOwnBlock) {
  const std::string content = Pattern((9 << 20) + 123, 3);
  WriteFile(Media() / "dl/nine.bin", content);
  SendWithHeader(702, 40, StepHeader(1), "{\"path\":\"/dl/nine.bin\"}");
  const Seen* description = WaitFor([](const Seen& s) { return s.message.task_id == 40; });
  ASSERT_NE(description, nullptr);
  const rapidjson::Value* info = ObjectMember(description->header, "info");
  ASSERT_NE(info, nullptr);
  const rapidjson::Value* blocks = ObjectMember(*info, "fbs");
  ASSERT_NE(blocks, nullptr);
  const rapidjson::Value& fbs = *blocks;
  std::map<int64_t, std::pair<int64_t, int64_t>> asked;  // id -> offset, length
  for (auto block = fbs.MemberBegin(); block != fbs.MemberEnd(); ++block) {
    const int64_t id = std::atoll(block->name.GetString());
    const int64_t offset = IntMember(block->value, "offset");
    const int64_t length = IntMember(block->value, "offset_length");
    asked[id] = {offset, length};
    SendWithHeader(702, 40, StepHeader(2),
                   "{\"id\":" + std::to_string(id) + ",\"offset_length\":" +
                       std::to_string(length) + ",\"offset\":" + std::to_string(offset) + "}");
  }
  ASSERT_EQ(asked.size(), 5u);
  std::map<int64_t, std::string> answers;
  WaitFor(
      [&](const Seen& s) {
        const rapidjson::Value* info = ObjectMember(s.header, "info");
        if (s.message.task_id == 40 && IntMember(s.header, "stage") == 2 && info != nullptr) {
          answers[IntMember(*info, "id")] = s.message.body;
        }
        return answers.size() == asked.size();
      },
      20s);
  ASSERT_EQ(answers.size(), asked.size());
  for (const auto& [id, place] : asked) {
    EXPECT_TRUE(answers[id] == content.substr(place.first, place.second)) << "block " << id;
  }
  SendWithHeader(702, 40, StepHeader(3));
}

// The agent asks for the next block while it writes the current one: still every block is
// asked for exactly once and the upload is committed exactly once.
TEST_F(AgentFileTest, UploadAsksForEveryBlockOnceAndCommitsOnce) {
  fs::create_directories(Media() / "Uploads");
  const std::string content = Pattern(9 << 20, 4);
  std::string description = "{\"md5\":\"\",\"version\":\"1\",\"size\":" +
                            std::to_string(content.size()) + ",\"fbs\":{";
  for (int64_t id = 1, offset = 0; offset < static_cast<int64_t>(content.size()); ++id) {
    const int64_t length = std::min<int64_t>(2 << 20, static_cast<int64_t>(content.size()) - offset);
    if (id > 1) description += ",";
    description += "\"" + std::to_string(id) + "\":{\"offset\":" + std::to_string(offset) +
                   ",\"offset_length\":" + std::to_string(length) + "}";
    offset += length;
  }
  description += "}}";
  const std::string device = "\"uuid\":\"" + udid_ + "\",\"code\":" + std::to_string(handle_);
  SendWithHeader(703, 41, "{" + device + ",\"stage\":1,\"info\":{\"name\":\"once.bin\","
                          "\"dir\":\"/Uploads\"}}", description);
  std::set<const Seen*> handled;
  std::map<int64_t, int> asks;
  int commits = 0;
  for (;;) {
    const Seen* s = WaitFor(
        [&](const Seen& x) { return x.message.task_id == 41 && handled.count(&x) == 0; },
        commits > 0 ? 1500ms : 15s);
    if (s == nullptr) break;
    handled.insert(s);
    if (IntMember(s->header, "stage") == 3) {
      ++commits;
      continue;
    }
    ASSERT_EQ(IntMember(s->header, "stage"), 2);
    const rapidjson::Value* block = ObjectMember(s->header, "info");
    ASSERT_NE(block, nullptr);
    const int64_t id = IntMember(*block, "id");
    const int64_t offset = IntMember(*block, "offset");
    const int64_t length = IntMember(*block, "offset_length");
    ASSERT_TRUE(offset >= 0 && length > 0 && offset + length <= static_cast<int64_t>(content.size()));
    ++asks[id];
    std::string header = "{" + device + ",\"stage\":2,\"info\":{\"id\":" + std::to_string(id) +
                         ",\"offset_length\":" + std::to_string(length) +
                         ",\"offset\":" + std::to_string(offset) + "}}";
    SendPayload(703, 41, vadoctl::BuildRequestPayload(
                             header, content.substr(static_cast<size_t>(offset), static_cast<size_t>(length)), true));
  }
  EXPECT_EQ(commits, 1);
  EXPECT_EQ(asks.size(), 5u);
  for (const auto& [id, count] : asks) EXPECT_EQ(count, 1) << "block " << id;
  EXPECT_TRUE(ReadFile(Media() / "Uploads/once.bin") == content);
}

}  // namespace
