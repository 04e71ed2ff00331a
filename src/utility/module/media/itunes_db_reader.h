// Reader of the device's iTunes database (iTunesCDB / iTunesDB): a tree of chunks, each
// named by four ASCII characters and sized by little-endian 32-bit lengths, whose part after
// the database header may be one zlib stream. The reader takes any bytes: every offset and
// length is checked against the buffer, a damaged list simply ends early.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Largest inflated database accepted; a file that would inflate to more is read as it is.
inline constexpr size_t kMaxInflatedItunesDb = 256u * 1024 * 1024;

// The database header ("mhbd"), every field at its offset. The checksum blocks are stored
// as read; nothing is verified with them.
struct ItunesDbHeader {
  uint32_t header_length = 0;
  uint32_t total_length = 0;
  uint32_t unknown_12 = 0;
  uint32_t version = 0;
  uint32_t section_count = 0;
  uint64_t database_id = 0;
  uint32_t field_32 = 0;
  uint16_t field_36 = 0;
  uint64_t field_38 = 0;
  uint16_t field_46 = 0;
  uint16_t field_48 = 0;
  uint64_t field_50 = 0;
  uint64_t field_58 = 0;
  uint32_t field_66 = 0;
  uint16_t field_70 = 0;
  uint64_t field_72 = 0;
  uint64_t field_80 = 0;
  // 0 none, 1 (bytes 88-107), 2 (marker at 114, words from 116), 3 (marker at 171).
  int checksum_scheme = 0;
  std::array<uint32_t, 5> checksum_1{};
  uint16_t checksum_2_marker = 0;
  std::array<uint32_t, 11> checksum_2{};
  uint16_t checksum_3_marker = 0;
  std::array<uint64_t, 7> checksum_3{};
  uint8_t checksum_3_tail = 0;
};

// How a data object's type is treated.
enum class ItunesDbObjectGroup {
  kNone,
  kString,
  kUrl,
  kChapter,
  kGroup9,
  kSmartData,
  kSmartRules,
  kIndex,
  kGroup10,
  kPosition,
};
ItunesDbObjectGroup ItunesDbGroupOf(uint32_t type);

// A data object ("mhod"). Strings are decoded from UTF-16LE into UTF-8; index and position
// objects keep their body bytes as read.
struct ItunesDbObject {
  uint32_t type = 0;
  ItunesDbObjectGroup group = ItunesDbObjectGroup::kNone;
  std::string text;
  std::string body;
};

// A track ("mhit"): identifier, file type, the header fields after the file type as read,
// and its string objects by type.
struct ItunesDbTrack {
  uint32_t id = 0;
  std::string file_type;      // four characters as stored
  uint32_t file_size = 0;     // offset 36
  uint32_t length_ms = 0;     // offset 40
  std::string header_fields;  // header bytes from offset 28 to the header's end
  std::map<uint32_t, std::string> strings;
  std::string String(uint32_t type) const;
};

// A playlist ("mhyp") with its name and the track identifiers of its entries ("mhip").
struct ItunesDbPlaylist {
  uint64_t id = 0;
  bool master = false;
  std::string name;
  std::vector<ItunesDbObject> objects;  // data objects besides the entries
  std::vector<uint32_t> track_ids;
};

// An album ("mhia") and its string objects.
struct ItunesDbAlbum {
  uint32_t id = 0;
  std::map<uint32_t, std::string> strings;
};

// One track of the extraction, its location with '/' separators.
struct ItunesDbMediaTrack {
  uint32_t id = 0;
  std::string title;
  std::string location;
  std::string album;
  std::string artist;
  std::string genre;
  std::string grouping;  // string type 13
  uint32_t file_size = 0;
  uint32_t length_ms = 0;
};

// Tracks that playlist entries refer to, sorted by the location's extension.
struct ItunesDbMediaLists {
  std::vector<ItunesDbMediaTrack> video;
  std::vector<ItunesDbMediaTrack> audio;
  std::vector<ItunesDbMediaTrack> books;
  std::vector<ItunesDbMediaTrack> ringtones;
};

class ItunesDbReader {
 public:
  // Reads a whole file; false when it cannot be read or does not start with a database
  // header.
  bool LoadFile(const std::string& path);
  // Parses bytes held in memory, with the same rules; a stream that would inflate past
  // `max_inflated` bytes is read as it is.
  bool Parse(std::string_view bytes, size_t max_inflated = kMaxInflatedItunesDb);

  const ItunesDbHeader& header() const { return header_; }
  bool inflated() const { return inflated_; }
  const std::map<uint32_t, ItunesDbTrack>& tracks() const { return tracks_; }
  const std::vector<ItunesDbPlaylist>& playlists() const { return playlists_; }
  const std::vector<ItunesDbAlbum>& albums() const { return albums_; }

  // Walks the playlists and sorts the tracks their entries name: "mp4"/"m4v"/"mov" video,
  // "mp3"/"m4a"/"wav" audio, "pdf"/"epub" books, "m4r" ringtones (audio when the location
  // holds "Music"); extensions in any letter case; each track once.
  ItunesDbMediaLists ExtractMedia() const;

 private:
  void Clear();
  void ReadHeader(std::string_view data);
  void ParseSection(std::string_view data, size_t begin, size_t end);
  void ParseTrackList(std::string_view data, size_t begin, size_t end);
  void ParsePlaylistList(std::string_view data, size_t begin, size_t end);
  void ParseAlbumList(std::string_view data, size_t begin, size_t end);

  ItunesDbHeader header_;
  bool inflated_ = false;
  std::map<uint32_t, ItunesDbTrack> tracks_;
  std::vector<ItunesDbPlaylist> playlists_;
  std::vector<ItunesDbAlbum> albums_;
};
