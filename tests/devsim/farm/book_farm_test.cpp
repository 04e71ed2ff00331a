#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "farm/book_farm_builder.h"
#include "plist/plist_ptr.h"

namespace devsim {
namespace {

uint32_t Le32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[offset + i]);
  return v;
}

class BookFarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vado-bookfarm-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(BookFarmTest, EpubIsAZipWhoseFirstMemberIsTheStoredMimetype) {
  const fs::path path = dir_ / "book.epub";
  ASSERT_TRUE(WriteFileAtomic(path, MakeEpubPackage("A Title", "An Author")));
  unzFile zip = unzOpen64(path.c_str());
  ASSERT_NE(zip, nullptr);
  ASSERT_EQ(unzGoToFirstFile(zip), UNZ_OK);
  unz_file_info64 info{};
  char name[256];
  ASSERT_EQ(unzGetCurrentFileInfo64(zip, &info, name, sizeof(name), nullptr, 0, nullptr, 0), UNZ_OK);
  EXPECT_STREQ(name, "mimetype");
  EXPECT_EQ(info.compression_method, 0u);
  ASSERT_EQ(unzOpenCurrentFile(zip), UNZ_OK);
  char text[64] = {};
  EXPECT_EQ(unzReadCurrentFile(zip, text, sizeof(text) - 1), 20);
  EXPECT_STREQ(text, "application/epub+zip");
  unzCloseCurrentFile(zip);
  EXPECT_EQ(unzLocateFile(zip, "META-INF/container.xml", 1), UNZ_OK);
  EXPECT_EQ(unzLocateFile(zip, "OEBPS/content.opf", 1), UNZ_OK);
  unzClose(zip);
}

TEST_F(BookFarmTest, PdfCrossReferenceOffsetsPointAtTheirObjects) {
  const std::string pdf = MakePdfDocument("Title");
  ASSERT_EQ(pdf.rfind("%PDF-1.4\n", 0), 0u);
  const size_t startxref = pdf.rfind("startxref\n");
  ASSERT_NE(startxref, std::string::npos);
  const size_t xref = std::stoul(pdf.substr(startxref + 10));
  ASSERT_EQ(pdf.compare(xref, 5, "xref\n"), 0);
  size_t line = pdf.find('\n', pdf.find('\n', xref + 5) + 1) + 1;  // after the free entry
  for (int object = 1; object <= 5; ++object, line += 20) {
    const size_t offset = std::stoul(pdf.substr(line, 10));
    const std::string opening = std::to_string(object) + " 0 obj\n";
    EXPECT_EQ(pdf.compare(offset, opening.size(), opening), 0) << object;
  }
}

TEST_F(BookFarmTest, ListsDatabaseAndFilesFollowTheirRules) {
  std::string error;
  ASSERT_TRUE(WriteBookFarm(dir_ / "empty", {0, 0}, 1, &error));
  EXPECT_FALSE(fs::exists(dir_ / "empty"));

  ASSERT_TRUE(WriteBookFarm(dir_, {10, 6}, 3, &error)) << error;
  Plist books = ReadPlistFile(dir_ / "Books/Books.plist");
  plist_t list = DictItem(books.get(), "Books");
  ASSERT_NE(list, nullptr);
  // Books 0-9 without the bought ones (3, 7) and those only the database has (4, 9),
  // and the entry whose file is missing.
  EXPECT_EQ(plist_array_get_size(list), 7u);
  for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
    const std::string file = DictString(plist_array_get_item(list, i), "Path").value_or("");
    EXPECT_EQ(fs::exists(dir_ / "Books" / file), file != kMissingBookPath) << file;
  }
  Plist bought = ReadPlistFile(dir_ / "Books/Purchases/Purchases.plist");
  EXPECT_EQ(plist_array_get_size(DictItem(bought.get(), "Books")), 2u);
  Plist tones = ReadPlistFile(dir_ / "iTunes_Control/iTunes/Ringtones.plist");
  EXPECT_EQ(DictKeys(DictItem(tones.get(), "Ringtones")).size(), 4u);
  size_t tone_files = 0;
  for (const auto& entry : fs::directory_iterator(dir_ / "iTunes_Control/Ringtones")) {
    tone_files += entry.path().extension() == ".m4r";
  }
  EXPECT_EQ(tone_files, 6u);

  const std::optional<std::string> cdb = ReadWholeFile(dir_ / "iTunes_Control/iTunes/iTunesCDB");
  ASSERT_TRUE(cdb.has_value());
  ASSERT_GT(cdb->size(), 246u);
  EXPECT_EQ(cdb->substr(0, 4), "mhbd");
  const uint32_t header = Le32(*cdb, 4);
  EXPECT_EQ(static_cast<uint8_t>((*cdb)[168]), 1);
  EXPECT_EQ(Le32(*cdb, 8), cdb->size());
  EXPECT_EQ(static_cast<uint8_t>((*cdb)[header]), 0x78);
}

}  // namespace
}  // namespace devsim
