// Block table, block cutting and the JSON forms of a block transfer (no device).
#include <gtest/gtest.h>

#include "utility/module/file/file_header.h"

namespace {

FileHeader Sized(int64_t size, int64_t block_size) {
  FileHeader header;
  header.size = size;
  header.block_size = block_size;
  MakeBlocks(&header);
  return header;
}

TEST(BlockTable, OrdersIdsAsTextSoTenComesBeforeTwo) {
  FileHeader header = Sized(12 * 100, 100);
  ASSERT_EQ(header.blocks.size(), 12u);
  std::vector<std::string> keys;
  for (const auto& [key, block] : header.blocks) keys.push_back(key);
  EXPECT_EQ(keys[0], "1");
  EXPECT_EQ(keys[1], "10");
  EXPECT_EQ(keys[2], "11");
  EXPECT_EQ(keys[3], "12");
  EXPECT_EQ(keys[4], "2");
  header.blocks["1"].done = 1;
  header.blocks["10"].done = 1;
  ASSERT_NE(FirstPending(header.blocks), nullptr);
  EXPECT_EQ(FirstPending(header.blocks)->id, 11);
  for (auto& [key, block] : header.blocks) block.done = 1;
  EXPECT_EQ(FirstPending(header.blocks), nullptr);
  EXPECT_TRUE(AllBlocksDone(header.blocks));
}

TEST(MakeBlocks, CutsFiveMebibytesIntoTwoTwoAndOne) {
  FileHeader header = Sized(5 << 20, kDownloadBlockSize);
  ASSERT_EQ(header.blocks.size(), 3u);
  EXPECT_EQ(header.blocks["1"].offset, 0);
  EXPECT_EQ(header.blocks["1"].length, 2097152);
  EXPECT_EQ(header.blocks["2"].offset, 2097152);
  EXPECT_EQ(header.blocks["2"].length, 2097152);
  EXPECT_EQ(header.blocks["3"].offset, 4194304);
  EXPECT_EQ(header.blocks["3"].length, 1048576);
  EXPECT_FALSE(header.blocks["3"].done);
}

TEST(MakeBlocks, ExactlyOneBlockSizeGivesOneBlockAndZeroGivesNone) {
  FileHeader header = Sized(kDownloadBlockSize, kDownloadBlockSize);
  ASSERT_EQ(header.blocks.size(), 1u);
  EXPECT_EQ(header.blocks.begin()->second.id, 1);
  EXPECT_EQ(header.blocks.begin()->second.length, kDownloadBlockSize);
  EXPECT_TRUE(Sized(0, kDownloadBlockSize).blocks.empty());
  EXPECT_TRUE(Sized(10, 0).blocks.empty());
}

TEST(FileJson, BlockMessageAndDescriptionHaveTheirKeysInOrder) {
  EXPECT_EQ(BlockMessageJson(3, 1048576, 4194304),
            R"({"id":3,"offset_length":1048576,"offset":4194304})");
  FilePacket packet;
  ASSERT_TRUE(ParseBlockMessage(R"({"offset":7,"id":2})", &packet));
  EXPECT_EQ(packet.id, 2);
  EXPECT_EQ(packet.offset, 7);
  EXPECT_EQ(packet.length, 0);
  EXPECT_FALSE(ParseBlockMessage("[1]", &packet));

  FileHeader header = Sized(5, 4);
  header.md5 = "a";
  header.file_name = "x\"y.bin";
  EXPECT_EQ(DescriptionJson(header),
            R"({"version":"1","file_name":"x\"y.bin","md5":"a","size":5,"status":0,"fbs":)"
            R"({"1":{"status":0,"offset":0,"offset_length":4},"2":{"status":0,"offset":4,"offset_length":1}}})");
}

TEST(FileJson, JournalKeepsDoneFlagsAndReadsBack) {
  FileHeader header = Sized(10, 4);
  header.path = "/Books/b.epub.bak";
  header.md5 = "m";
  header.blocks["2"].done = 1;
  std::string text = JournalJson(header);
  EXPECT_NE(text.find(R"("path":"b.epub.bak")"), std::string::npos);
  std::string version;
  int64_t size = 0;
  BlockTable blocks;
  ASSERT_TRUE(ParseJournal(text, &version, &size, &blocks));
  EXPECT_EQ(version, "1");
  EXPECT_EQ(size, 10);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_FALSE(blocks["1"].done);
  EXPECT_TRUE(blocks["2"].done);
  EXPECT_EQ(blocks["3"].length, 2);
  EXPECT_FALSE(ParseJournal("{\"fbs\":[1", &version, &size, &blocks));
}

TEST(FileJson, UploadDescriptionWithBlocksOutsideTheFileIsRefused) {
  FileHeader header;
  ASSERT_TRUE(ParseUploadDescription(
      R"({"md5":"m","version":"1","size":6,"fbs":{"1":{"offset":0,"offset_length":4},"2":{"offset":4,"offset_length":2}}})",
      &header));
  EXPECT_EQ(header.size, 6);
  EXPECT_EQ(header.blocks.size(), 2u);
  EXPECT_FALSE(header.blocks["2"].done);
  EXPECT_FALSE(ParseUploadDescription(
      R"({"size":6,"fbs":{"1":{"offset":4,"offset_length":3}}})", &header));
  EXPECT_FALSE(ParseUploadDescription(
      R"({"size":6,"fbs":{"1":{"offset":-1,"offset_length":2}}})", &header));
  EXPECT_FALSE(ParseUploadDescription(
      R"({"size":9223372036854775807,"fbs":{"1":{"offset":9223372036854775807,"offset_length":9223372036854775807}}})",
      &header));
  EXPECT_FALSE(ParseUploadDescription(R"({"size":-5})", &header));
  EXPECT_FALSE(ParseUploadDescription("not json", &header));
}

}  // namespace

#include "utility/module/file/copy_out.h"

namespace {

TEST(CopyOutNames, NameAndExtensionCannotLeaveTheLocalFolder) {
  EXPECT_EQ(SanitizeLocalName("a:b"), "a_b");
  EXPECT_EQ(SanitizeLocalName("x/../y\\z*?\"<|\x01\x7f>"), "x_.._y_z_______>");
  EXPECT_EQ(DeviceExtension("/Media/dir.v2/file"), "");
  EXPECT_EQ(DeviceExtension("/Media/a.b/c.txt"), ".txt");
  EXPECT_EQ(CopyOutTarget("a:b", "/DCIM/x.JPG", "/pc"), std::filesystem::path("/pc/a_b.JPG"));
  EXPECT_EQ(CopyOutTarget("..", "/x/noext", "/pc"), std::filesystem::path("/pc/_.."));
  EXPECT_EQ(CopyOutTarget("", "/x/.", "/pc"), std::filesystem::path("/pc/_."));
  EXPECT_EQ(CopyOutTarget("../../etc", "/x/y", "/pc").parent_path(), std::filesystem::path("/pc"));
}

}  // namespace
