// Writer and reader of block transfers against a simulated device's media partition.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device_fixture.h"
#include "utility/ios/vado_device_service.h"
#include "utility/module/file/file_packet_reader.h"
#include "utility/module/file/file_packet_writer.h"

namespace {

namespace fs = std::filesystem;

class FilePacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = fixture_.Attach(devsim::DeviceSpec{}, &udid_);
    ASSERT_NE(device_, nullptr);
    service_ = Connect();
    ASSERT_TRUE(service_);
    fs::create_directories(Media() / "Books");
  }
  // The device's AFC connection, held by this test alone, so it can drop it as an unplug would.
  ServicePtr Connect() {
    int32_t error = 0;
    return GetService(device_, &error, kAfcServiceName, nullptr, true);
  }
  fs::path Media() {
    return fixture_.sim().farm_dir() / "devices" / udid_ / "fs/private/var/mobile/Media";
  }
  void WriteMedia(const std::string& relative, const std::string& content) {
    fs::create_directories((Media() / relative).parent_path());
    std::ofstream(Media() / relative, std::ios::binary) << content;
  }
  std::string ReadMedia(const std::string& relative) {
    std::ifstream in(Media() / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // An upload header of `content` cut into blocks of `block` bytes, into /Books/name.
  FileHeader Upload(const ServicePtr& service, const std::string& name, int64_t size, int64_t block) {
    FileHeader header;
    header.service = service;
    header.size = size;
    header.block_size = block;
    header.md5 = "m";
    header.path = "/Books/" + name + ".bak";
    header.path_source = "/Books/" + name;
    header.path_project = "/Books/" + name + ".json";
    MakeBlocks(&header);
    return header;
  }
  static FilePacket Block(const BlockEntry& entry, const std::string& content) {
    FilePacket packet;
    packet.id = entry.id;
    packet.offset = entry.offset;
    packet.length = entry.length;
    packet.data = reinterpret_cast<const uint8_t*>(content.data()) + entry.offset;
    packet.count = static_cast<size_t>(entry.length);
    return packet;
  }

  SimulatorFixture fixture_;
  std::string udid_;
  AMDeviceRef device_ = nullptr;
  ServicePtr service_;
};

TEST_F(FilePacketTest, UniquePathSkipsTakenNumberedNames) {
  AFCConnectionRef afc = service_->afc();
  EXPECT_EQ(UniqueDevicePath(afc, "/Books/a.epub"), "/Books/a.epub");
  WriteMedia("Books/a.epub", "x");
  EXPECT_EQ(UniqueDevicePath(afc, "/Books/a.epub"), "/Books/a(1).epub");
  WriteMedia("Books/a(1).epub", "x");
  EXPECT_EQ(UniqueDevicePath(afc, "/Books/a.epub"), "/Books/a(2).epub");
  WriteMedia("Books/noext", "x");
  EXPECT_EQ(UniqueDevicePath(afc, "/Books/noext"), "/Books/noext");
}

TEST_F(FilePacketTest, BlocksInAnyOrderCommitUnderAFreeName) {
  WriteMedia("Books/b.epub", "taken");
  std::string content(10000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  {
    FilePacketWriter writer;
    ASSERT_EQ(writer.Open(Upload(service_, "b.epub", 10000, 4096)), kFileStepReady);
    EXPECT_EQ(writer.header().path_source, "/Books/b(1).epub");
    EXPECT_TRUE(fs::exists(Media() / "Books/b.epub.json"));
    EXPECT_EQ(fs::file_size(Media() / "Books/b.epub.bak"), 10000u);
    for (const char* key : {"3", "1", "2"}) {
      EXPECT_EQ(writer.WriteBlock(Block(writer.header().blocks.at(key), content)), kFileStepReady);
    }
    EXPECT_TRUE(writer.AllDone());
  }
  EXPECT_EQ(ReadMedia("Books/b(1).epub"), content);
  EXPECT_EQ(ReadMedia("Books/b.epub"), "taken");
  EXPECT_FALSE(fs::exists(Media() / "Books/b.epub.bak"));
  EXPECT_FALSE(fs::exists(Media() / "Books/b.epub.json"));
}

TEST_F(FilePacketTest, BlocksThatDoNotMatchTheTableAreRefusedAndNeverDone) {
  std::string content(10, 'z');
  FilePacketWriter writer;
  ASSERT_EQ(writer.Open(Upload(service_, "c.bin", 10, 4)), kFileStepReady);
  BlockEntry first = writer.header().blocks.at("1");
  FilePacket packet = Block(first, content);
  packet.id = 9;  // unknown id
  EXPECT_NE(writer.WriteBlock(packet), kFileStepReady);
  packet = Block(first, content);
  packet.offset = 1;  // other offset
  EXPECT_NE(writer.WriteBlock(packet), kFileStepReady);
  packet = Block(first, content);
  packet.length = 3;  // other length
  packet.count = 3;
  EXPECT_NE(writer.WriteBlock(packet), kFileStepReady);
  packet = Block(first, content);
  packet.count = 2;  // fewer bytes than the block
  EXPECT_NE(writer.WriteBlock(packet), kFileStepReady);
  EXPECT_EQ(writer.FirstPending()->id, 1);
  // The same block twice is written twice but counted once.
  EXPECT_EQ(writer.WriteBlock(Block(first, content)), kFileStepReady);
  EXPECT_EQ(writer.WriteBlock(Block(first, content)), kFileStepReady);
  EXPECT_EQ(writer.header().blocks.at("1").received, 4);
  EXPECT_EQ(writer.FirstPending()->id, 2);
}

TEST_F(FilePacketTest, IncompleteUploadClosedOnPurposeLeavesNothing) {
  std::string content(10, 'q');
  {
    FilePacketWriter writer;
    ASSERT_EQ(writer.Open(Upload(service_, "d.bin", 10, 4)), kFileStepReady);
    ASSERT_EQ(writer.WriteBlock(Block(writer.header().blocks.at("1"), content)), kFileStepReady);
  }
  EXPECT_FALSE(fs::exists(Media() / "Books/d.bin.bak"));
  EXPECT_FALSE(fs::exists(Media() / "Books/d.bin.json"));
  EXPECT_FALSE(fs::exists(Media() / "Books/d.bin"));
}

TEST_F(FilePacketTest, UploadCutByLostConnectionResumesFromTheJournal) {
  std::string content(12 * 100, 'r');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
  service_.reset();  // the cut below must not close the service the rest of the test uses
  ServicePtr first = Connect();
  ASSERT_TRUE(first);
  {
    FilePacketWriter writer;
    ASSERT_EQ(writer.Open(Upload(first, "e.bin", 1200, 100)), kFileStepReady);
    for (const char* key : {"1", "10", "2"}) {
      ASSERT_EQ(writer.WriteBlock(Block(writer.header().blocks.at(key), content)), kFileStepReady);
    }
    first->Close();  // the device went away: the writer cannot clean up
  }
  first.reset();
  ASSERT_TRUE(fs::exists(Media() / "Books/e.bin.json"));
  service_ = Connect();
  ASSERT_TRUE(service_);
  FilePacketWriter writer;
  ASSERT_EQ(writer.Open(Upload(service_, "e.bin", 1200, 100)), kFileStepReady);
  EXPECT_EQ(writer.FirstPending()->id, 11);
  while (const BlockEntry* pending = writer.FirstPending()) {
    ASSERT_EQ(writer.WriteBlock(Block(*pending, content)), kFileStepReady);
  }
  writer.Close();
  EXPECT_EQ(ReadMedia("Books/e.bin"), content);
}

TEST_F(FilePacketTest, ReaderCutsTheFileAndRefusesEmptyFiles) {
  std::string content((5 << 20) + 3, '\0');
  for (size_t i = 0; i < content.size(); i += 4093) content[i] = static_cast<char>(i);
  WriteMedia("dl/big.bin", content);
  WriteMedia("dl/empty.bin", "");
  FileHeader header;
  header.service = service_;
  header.block_size = kDownloadBlockSize;
  header.path = "/dl/empty.bin";
  FilePacketReader empty;
  EXPECT_FALSE(empty.Open(header));
  header.path = "/dl/big.bin";
  FilePacketReader reader;
  ASSERT_TRUE(reader.Open(header));
  EXPECT_EQ(reader.header().blocks.size(), 3u);
  EXPECT_EQ(reader.header().md5, "a");
  std::string back;
  std::vector<uint8_t> buffer(kDownloadBlockSize);
  for (const auto& [key, block] : reader.header().blocks) {
    FilePacket packet;
    packet.id = block.id;
    packet.offset = block.offset;
    packet.length = block.length;
    ASSERT_TRUE(reader.ReadBlock(&packet, buffer.data(), buffer.size()));
    back.append(reinterpret_cast<const char*>(buffer.data()), packet.count);
  }
  EXPECT_EQ(back, content);
  FilePacket past;
  past.offset = static_cast<int64_t>(content.size());
  past.length = 10;
  EXPECT_FALSE(reader.ReadBlock(&past, buffer.data(), buffer.size()));
}

}  // namespace
