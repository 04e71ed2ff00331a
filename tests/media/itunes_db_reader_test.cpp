#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <unistd.h>
#include <map>
#include <string>
#include <vector>

#include "farm/itunes_cdb_builder.h"
#include "utility/module/media/itunes_db_reader.h"

namespace {

namespace fs = std::filesystem;

std::vector<devsim::CdbTrack> SampleTracks() {
  return {
      {"Lower Epub", "Ada Lind", "A1", "Fiction", ":Books:ABCD.epub", "EPUB book", 0x400000, 0},
      {"Upper Epub", "Jon Haas", "A2", "History", ":Books:EFGH.EPUB", "EPUB book", 0x400000, 0},
      {"Mixed Epub", "Jon Haas", "A2", "History", ":Books:Purchases:IJKL.ePub", "EPUB", 0x400000,
       0},
      {"A Pdf", "Lena Roy", "A3", "Science", ":Books:MNOP.pdf", "PDF document", 0x800000, 0},
      {"Bell", "Tones", "", "Ringtone", ":iTunes_Control:Ringtones:QRST.m4r", "Ringtone", 0x4000,
       9000},
      {"Bell In Music", "Tones", "", "Ringtone", ":iTunes_Control:Music:F01:UVWX.m4r", "Ringtone",
       0x4000, 8000},
      {"Song \xC3\xA9t\xC3\xA9", "Mira", "Summer", "Pop", ":iTunes_Control:Music:F02:AAAA.mp3",
       "MP3", 1, 1000},
      {"Song Two", "Mira", "Summer", "Pop", ":iTunes_Control:Music:F03:BBBB.m4a", "AAC", 1, 1000},
      {"Wave", "Mira", "Summer", "Pop", ":iTunes_Control:Music:F03:CCCC.wav", "WAV", 1, 1000},
      {"Film", "Tomas", "", "Drama", ":iTunes_Control:Music:F04:DDDD.m4v", "MPEG-4", 2, 1000},
      {"Clip", "Tomas", "", "Drama", ":iTunes_Control:Music:F04:EEEE.mov", "QuickTime", 2, 1000},
      {"Other", "Tomas", "", "Drama", ":iTunes_Control:Music:F04:FFFF.mp4", "MPEG-4", 2, 1000},
      {"Unknown Kind", "Tomas", "", "Drama", ":iTunes_Control:Music:F04:GGGG.ogg", "OGG", 1, 1000},
  };
}

// The uncompressed database libgpod writes for the sample tracks.
std::string PlainDatabase() {
  const fs::path path = fs::temp_directory_path() / ("vado-itdb-" + std::to_string(::getpid()));
  std::string error;
  EXPECT_TRUE(devsim::WriteItunesDb(path, SampleTracks(), &error)) << error;
  const std::optional<std::string> bytes = devsim::ReadWholeFile(path);
  fs::remove(path);
  return bytes.value_or(std::string());
}

uint32_t HeaderLength(const std::string& db) {
  return static_cast<uint8_t>(db[4]) | static_cast<uint8_t>(db[5]) << 8 |
         static_cast<uint8_t>(db[6]) << 16 | static_cast<uint8_t>(db[7]) << 24;
}

void SetLe32(std::string* db, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*db)[offset + i] = static_cast<char>(v >> (8 * i));
}

std::string Deflate(const std::string& data) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
           data.size());
  out.resize(size);
  return out;
}

// What the extraction gives, as "list|title|artist|album|genre|location" lines.
std::multiset<std::string> Sorted(const ItunesDbMediaLists& lists) {
  std::multiset<std::string> out;
  const auto add = [&out](const char* list, const std::vector<ItunesDbMediaTrack>& tracks) {
    for (const ItunesDbMediaTrack& t : tracks) {
      out.insert(std::string(list) + "|" + t.title + "|" + t.artist + "|" + t.album + "|" +
                 t.genre + "|" + t.location);
    }
  };
  add("video", lists.video);
  add("audio", lists.audio);
  add("book", lists.books);
  add("ringtone", lists.ringtones);
  return out;
}

std::multiset<std::string> Expected() {
  std::multiset<std::string> out;
  for (const devsim::CdbTrack& t : SampleTracks()) {
    std::string location = t.location;
    std::replace(location.begin(), location.end(), ':', '/');
    const std::string ext = location.substr(location.rfind('.') + 1);
    std::string lower;
    for (char c : ext) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const char* list = lower == "epub" || lower == "pdf"                               ? "book"
                       : lower == "m4r" && location.find("Music") == std::string::npos ? "ringtone"
                       : lower == "m4v" || lower == "mov" || lower == "mp4"            ? "video"
                       : lower == "ogg"                                                ? nullptr
                                                                                       : "audio";
    if (list != nullptr) {
      out.insert(std::string(list) + "|" + t.title + "|" + t.artist + "|" + t.album + "|" +
                 t.genre + "|" + location);
    }
  }
  return out;
}

TEST(ItunesDbReader, LibgpodFileGivesTheTracksItWasGivenPlainAndCompressed) {
  const std::string plain = PlainDatabase();
  ASSERT_GT(plain.size(), 244u);
  ItunesDbReader reader;
  ASSERT_TRUE(reader.Parse(plain));
  EXPECT_FALSE(reader.inflated());
  EXPECT_EQ(reader.tracks().size(), SampleTracks().size());
  EXPECT_EQ(Sorted(reader.ExtractMedia()), Expected());

  const std::string packed = devsim::CompressItunesDb(plain);
  ASSERT_FALSE(packed.empty());
  ASSERT_LT(packed.size(), plain.size());
  const fs::path path = fs::temp_directory_path() / ("vado-itcdb-" + std::to_string(::getpid()));
  ASSERT_TRUE(devsim::WriteFileAtomic(path, packed));
  ItunesDbReader from_file;
  ASSERT_TRUE(from_file.LoadFile(path.string()));
  fs::remove(path);
  EXPECT_TRUE(from_file.inflated());
  EXPECT_EQ(from_file.header().header_length, HeaderLength(plain));
  EXPECT_EQ(Sorted(from_file.ExtractMedia()), Expected());
  // Ringtones keep their length for the duration column.
  const ItunesDbMediaLists lists = from_file.ExtractMedia();
  ASSERT_EQ(lists.ringtones.size(), 1u);
  EXPECT_EQ(lists.ringtones[0].length_ms, 9000u);
}

TEST(ItunesDbReader, InflatesOnlyAfterALongHeaderAndAValidStreamHeader) {
  const std::string plain = PlainDatabase();
  const uint32_t header_length = HeaderLength(plain);
  const std::string sections = plain.substr(header_length);

  // A 169-byte header is never inflated: its "sections" are the compressed bytes.
  std::string short_header = plain.substr(0, 169);
  SetLe32(&short_header, 4, 169);
  const std::string short_packed = short_header + Deflate(sections);
  ItunesDbReader reader;
  ASSERT_TRUE(reader.Parse(short_packed));
  EXPECT_FALSE(reader.inflated());
  EXPECT_TRUE(reader.tracks().empty());
  // The same short header before plain sections is read normally.
  ASSERT_TRUE(reader.Parse(short_header + sections));
  EXPECT_EQ(Sorted(reader.ExtractMedia()), Expected());

  // "x" whose two bytes fail the multiple-of-31 check: read as is, and the sections fail
  // their name checks.
  std::string bad_check = plain.substr(0, header_length) + std::string("x\x00", 2) + sections;
  ASSERT_TRUE(reader.Parse(bad_check));
  EXPECT_FALSE(reader.inflated());
  EXPECT_TRUE(reader.tracks().empty());

  // A stream that would inflate past the cap is read as it is.
  const std::string packed = devsim::CompressItunesDb(plain);
  ASSERT_TRUE(reader.Parse(packed, plain.size() - 1));
  EXPECT_FALSE(reader.inflated());
  EXPECT_TRUE(reader.tracks().empty());
  ASSERT_TRUE(reader.Parse(packed, plain.size()));
  EXPECT_TRUE(reader.inflated());
}

TEST(ItunesDbReader, DamagedChunksEndTheirListsWithoutFailingTheFile) {
  const std::string plain = PlainDatabase();
  // Every prefix of the file parses without reading past it.
  for (size_t size = 0; size < plain.size(); size += 7) {
    ItunesDbReader reader;
    reader.Parse(std::string_view(plain).substr(0, size));
    reader.ExtractMedia();
  }
  // A track list claiming a million tracks whose first track has total length 0, and one
  // whose track is shorter than its header.
  for (uint32_t total : {0u, 20u}) {
    std::string db = plain.substr(0, HeaderLength(plain));
    SetLe32(&db, 20, 1);
    std::string section("mhsd", 4);
    section += std::string(92, '\0');
    std::string list("mhlt", 4);
    list += std::string(88, '\0');
    SetLe32(&list, 4, 92);
    SetLe32(&list, 8, 1000000);
    std::string track("mhit", 4);
    track += std::string(580, '\0');
    SetLe32(&track, 4, 584);
    SetLe32(&track, 8, total);
    section += list + track;
    SetLe32(&section, 4, 96);
    SetLe32(&section, 8, static_cast<uint32_t>(section.size()));
    db += section;
    ItunesDbReader reader;
    ASSERT_TRUE(reader.Parse(db));
    EXPECT_TRUE(reader.tracks().empty());
  }
  // Not a database at all.
  ItunesDbReader reader;
  EXPECT_FALSE(reader.Parse("mhsd not a header"));
  EXPECT_FALSE(reader.LoadFile("/nonexistent/iTunesCDB"));
}

}  // namespace
