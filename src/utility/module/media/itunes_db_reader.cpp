#include "utility/module/media/itunes_db_reader.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>

#include "common/text_convert.h"
#include "common/zlib_codec.h"

namespace itunes_db_detail {

// Little-endian integer of `width` bytes at `offset`, or 0 when it does not lie wholly
// inside [0, limit) of `data`.
uint64_t LittleEndianAt(std::string_view data, size_t offset, size_t width, size_t limit) {
  limit = std::min(limit, data.size());
  if (offset > limit || width > limit - offset) return 0;
  uint64_t value = 0;
  for (size_t i = width; i > 0; --i) {
    value = (value << 8) | static_cast<uint8_t>(data[offset + i - 1]);
  }
  return value;
}

// One chunk found in a buffer: where its header and its children or body end.
struct ChunkSpan {
  size_t begin = 0;
  size_t header_end = 0;      // first child or body
  size_t end = 0;             // the chunk's end, or for a list the end of its parent
  uint32_t length_field = 0;  // total length, or a list's number of children

  uint32_t U32(std::string_view data, size_t offset) const {
    return static_cast<uint32_t>(LittleEndianAt(data, begin + offset, 4, end));
  }
  uint64_t U64(std::string_view data, size_t offset) const {
    return LittleEndianAt(data, begin + offset, 8, end);
  }
};

// The chunk named `name` at `pos`, which must end by `limit`. A total length of zero,
// shorter than the header or running past `limit` fails, so that a list made of such
// chunks ends instead of looping. In a list chunk (`counted`) the length field is the
// number of children and the chunk runs to `limit`.
std::optional<ChunkSpan> OpenChunk(std::string_view data, size_t pos, size_t limit,
                                   std::string_view name, bool counted) {
  limit = std::min(limit, data.size());
  if (pos > limit || limit - pos < 12 || data.substr(pos, 4) != name) return std::nullopt;
  const uint32_t header_length = static_cast<uint32_t>(LittleEndianAt(data, pos + 4, 4, limit));
  const uint32_t length = static_cast<uint32_t>(LittleEndianAt(data, pos + 8, 4, limit));
  if (header_length < 12 || header_length > limit - pos) return std::nullopt;
  ChunkSpan span;
  span.begin = pos;
  span.header_end = pos + header_length;
  span.length_field = length;
  if (counted) {
    span.end = limit;
  } else {
    if (length < header_length || length > limit - pos) return std::nullopt;
    span.end = pos + length;
  }
  return span;
}

// A data object at `pos`; nothing when it is not a well-formed "mhod" inside `limit`.
std::optional<std::pair<ItunesDbObject, size_t>> ReadObject(std::string_view data, size_t pos,
                                                            size_t limit) {
  const std::optional<ChunkSpan> span = OpenChunk(data, pos, limit, "mhod", false);
  if (!span) return std::nullopt;
  ItunesDbObject object;
  object.type = span->U32(data, 12);
  object.group = ItunesDbGroupOf(object.type);
  const size_t body = span->header_end;
  const size_t body_size = span->end - body;
  switch (object.group) {
    case ItunesDbObjectGroup::kString: {
      // Position, byte length, two more words, then the UTF-16LE text.
      if (body_size >= 16) {
        const size_t length = static_cast<size_t>(LittleEndianAt(data, body + 4, 4, span->end));
        const size_t bytes = std::min(length, body_size - 16) & ~static_cast<size_t>(1);
        std::u16string text(bytes / 2, u'\0');
        for (size_t i = 0; i < text.size(); ++i) {
          text[i] = static_cast<char16_t>(LittleEndianAt(data, body + 16 + 2 * i, 2, span->end));
        }
        object.text = Utf16ToUtf8(text);
      }
      break;
    }
    case ItunesDbObjectGroup::kIndex:
    case ItunesDbObjectGroup::kPosition:
      object.body = std::string(data.substr(body, body_size));
      break;
    default:
      break;
  }
  return std::make_pair(std::move(object), span->end);
}

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace itunes_db_detail

namespace idb = itunes_db_detail;

ItunesDbObjectGroup ItunesDbGroupOf(uint32_t type) {
  if (type < 15 || type == 18 || type == 19 || type == 22 || type == 23 || type == 24 ||
      (type >= 27 && type <= 31) || (type >= 200 && type <= 204) || type == 300) {
    return ItunesDbObjectGroup::kString;
  }
  switch (type) {
    case 15:
    case 16:
      return ItunesDbObjectGroup::kUrl;
    case 17:
      return ItunesDbObjectGroup::kChapter;
    case 32:
      return ItunesDbObjectGroup::kGroup9;
    case 50:
      return ItunesDbObjectGroup::kSmartData;
    case 51:
      return ItunesDbObjectGroup::kSmartRules;
    case 52:
      return ItunesDbObjectGroup::kIndex;
    case 53:
      return ItunesDbObjectGroup::kGroup10;
    case 100:
    case 102:
      return ItunesDbObjectGroup::kPosition;
    default:
      return ItunesDbObjectGroup::kNone;
  }
}

std::string ItunesDbTrack::String(uint32_t type) const {
  const auto found = strings.find(type);
  return found == strings.end() ? std::string() : found->second;
}

void ItunesDbReader::Clear() {
  header_ = ItunesDbHeader();
  inflated_ = false;
  tracks_.clear();
  playlists_.clear();
  albums_.clear();
}

bool ItunesDbReader::LoadFile(const std::string& path) {
  Clear();
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return false;
  return Parse(bytes);
}

void ItunesDbReader::ReadHeader(std::string_view data) {
  ItunesDbHeader& h = header_;
  h.header_length = static_cast<uint32_t>(idb::LittleEndianAt(data, 4, 4, data.size()));
  // Fields are read only inside the header, so a short header leaves the rest zero.
  const size_t limit = std::min<size_t>(h.header_length, data.size());
  const auto u = [&](size_t offset, size_t width) {
    return idb::LittleEndianAt(data, offset, width, limit);
  };
  h.total_length = static_cast<uint32_t>(u(8, 4));
  h.unknown_12 = static_cast<uint32_t>(u(12, 4));
  h.version = static_cast<uint32_t>(u(16, 4));
  h.section_count = static_cast<uint32_t>(u(20, 4));
  h.database_id = u(24, 8);
  h.field_32 = static_cast<uint32_t>(u(32, 4));
  h.field_36 = static_cast<uint16_t>(u(36, 2));
  h.field_38 = u(38, 8);
  h.field_46 = static_cast<uint16_t>(u(46, 2));
  h.field_48 = static_cast<uint16_t>(u(48, 2));
  h.field_50 = u(50, 8);
  h.field_58 = u(58, 8);
  h.field_66 = static_cast<uint32_t>(u(66, 4));
  h.field_70 = static_cast<uint16_t>(u(70, 2));
  h.field_72 = u(72, 8);
  h.field_80 = u(80, 8);
  const auto byte_at = [&](size_t offset) { return static_cast<uint8_t>(u(offset, 1)); };
  if (limit > 115 && byte_at(114) == 1 && byte_at(115) == 0) {
    h.checksum_scheme = 2;
    h.checksum_2_marker = static_cast<uint16_t>(u(114, 2));
    for (size_t i = 0; i < h.checksum_2.size(); ++i) {
      h.checksum_2[i] = static_cast<uint32_t>(u(116 + 4 * i, 4));
    }
  } else if (limit > 172 && byte_at(171) == 3 && byte_at(172) == 0) {
    h.checksum_scheme = 3;
    h.checksum_3_marker = static_cast<uint16_t>(u(171, 2));
    for (size_t i = 0; i < h.checksum_3.size(); ++i) h.checksum_3[i] = u(171 + 8 * i, 8);
    h.checksum_3_tail = byte_at(227);
  } else if (h.header_length >= 108) {
    h.checksum_scheme = 1;
    for (size_t i = 0; i < h.checksum_1.size(); ++i) {
      h.checksum_1[i] = static_cast<uint32_t>(u(88 + 4 * i, 4));
    }
  }
}

bool ItunesDbReader::Parse(std::string_view bytes, size_t max_inflated) {
  Clear();
  if (bytes.size() < 12 || bytes.substr(0, 4) != "mhbd") return false;
  ReadHeader(bytes);
  const size_t header_length = header_.header_length;
  if (header_length < 12 || header_length > bytes.size()) return false;

  // The part after a long header may be one zlib stream: "x" and a 16-bit big-endian value
  // that is a multiple of 31 (the stream header's check). A stream that is damaged or would
  // inflate past the cap leaves the bytes as they are.
  std::string working;
  std::string_view data = bytes;
  if (header_length > 169 && bytes.size() - header_length >= 2 &&
      static_cast<uint8_t>(bytes[header_length]) == 0x78) {
    const unsigned check = (static_cast<uint8_t>(bytes[header_length]) << 8) |
                           static_cast<uint8_t>(bytes[header_length + 1]);
    const size_t stream_end =
        std::min<size_t>(std::max<size_t>(header_.total_length, header_length), bytes.size());
    if (check % 31 == 0 && stream_end > header_length) {
      std::optional<std::string> inflated =
          ZlibDecompress(bytes.substr(header_length, stream_end - header_length),
                         max_inflated > header_length ? max_inflated - header_length : 0);
      if (inflated) {
        working.reserve(header_length + inflated->size());
        working.append(bytes.substr(0, header_length));
        working.append(*inflated);
        data = working;
        inflated_ = true;
      }
    }
  }

  size_t pos = header_length;
  for (uint32_t i = 0; i < header_.section_count; ++i) {
    const std::optional<idb::ChunkSpan> section =
        idb::OpenChunk(data, pos, data.size(), "mhsd", false);
    if (!section) break;
    ParseSection(data, section->header_end, section->end);
    pos = section->end;
  }
  return true;
}

void ItunesDbReader::ParseSection(std::string_view data, size_t begin, size_t end) {
  if (end - begin < 4) return;
  const std::string_view name = data.substr(begin, 4);
  if (name == "mhlt") {
    ParseTrackList(data, begin, end);
  } else if (name == "mhlp") {
    ParsePlaylistList(data, begin, end);
  } else if (name == "mhla") {
    ParseAlbumList(data, begin, end);
  }
}

void ItunesDbReader::ParseTrackList(std::string_view data, size_t begin, size_t end) {
  const std::optional<idb::ChunkSpan> list = idb::OpenChunk(data, begin, end, "mhlt", true);
  if (!list) return;
  size_t pos = list->header_end;
  // A count larger than the bytes can hold ends when the next chunk fails to open.
  for (uint32_t i = 0; i < list->length_field; ++i) {
    const std::optional<idb::ChunkSpan> item = idb::OpenChunk(data, pos, end, "mhit", false);
    if (!item) break;
    ItunesDbTrack track;
    track.id = item->U32(data, 16);
    track.file_size =
        static_cast<uint32_t>(idb::LittleEndianAt(data, item->begin + 36, 4, item->header_end));
    track.length_ms =
        static_cast<uint32_t>(idb::LittleEndianAt(data, item->begin + 40, 4, item->header_end));
    if (item->header_end - item->begin >= 28)
      track.file_type = std::string(data.substr(item->begin + 24, 4));
    if (item->header_end - item->begin > 28) {
      track.header_fields =
          std::string(data.substr(item->begin + 28, item->header_end - item->begin - 28));
    }
    const uint32_t object_count = item->U32(data, 12);
    size_t child = item->header_end;
    for (uint32_t k = 0; k < object_count; ++k) {
      auto object = idb::ReadObject(data, child, item->end);
      if (!object) break;
      if (object->first.group == ItunesDbObjectGroup::kString) {
        track.strings[object->first.type] = std::move(object->first.text);
      }
      child = object->second;
    }
    tracks_[track.id] = std::move(track);
    pos = item->end;
  }
}

void ItunesDbReader::ParsePlaylistList(std::string_view data, size_t begin, size_t end) {
  const std::optional<idb::ChunkSpan> list = idb::OpenChunk(data, begin, end, "mhlp", true);
  if (!list) return;
  size_t pos = list->header_end;
  for (uint32_t i = 0; i < list->length_field; ++i) {
    const std::optional<idb::ChunkSpan> chunk = idb::OpenChunk(data, pos, end, "mhyp", false);
    if (!chunk) break;
    ItunesDbPlaylist playlist;
    playlist.id = chunk->U64(data, 28);
    playlist.master = idb::LittleEndianAt(data, chunk->begin + 20, 1, chunk->header_end) == 1;
    // Data objects first, then the entries; both counts are bounded by the chunk's bytes.
    const uint64_t children = static_cast<uint64_t>(chunk->U32(data, 12)) + chunk->U32(data, 16);
    size_t child = chunk->header_end;
    for (uint64_t k = 0; k < children; ++k) {
      if (chunk->end - child < 4) break;
      const std::string_view name = data.substr(child, 4);
      if (name == "mhod") {
        auto object = idb::ReadObject(data, child, chunk->end);
        if (!object) break;
        if (object->first.type == 1 && playlist.name.empty()) {
          playlist.name = object->first.text;
        } else {
          playlist.objects.push_back(std::move(object->first));
        }
        child = object->second;
      } else if (name == "mhip") {
        const std::optional<idb::ChunkSpan> entry =
            idb::OpenChunk(data, child, chunk->end, "mhip", false);
        if (!entry) break;
        playlist.track_ids.push_back(entry->U32(data, 24));
        child = entry->end;
      } else {
        break;
      }
    }
    playlists_.push_back(std::move(playlist));
    pos = chunk->end;
  }
}

void ItunesDbReader::ParseAlbumList(std::string_view data, size_t begin, size_t end) {
  const std::optional<idb::ChunkSpan> list = idb::OpenChunk(data, begin, end, "mhla", true);
  if (!list) return;
  size_t pos = list->header_end;
  for (uint32_t i = 0; i < list->length_field; ++i) {
    const std::optional<idb::ChunkSpan> chunk = idb::OpenChunk(data, pos, end, "mhia", false);
    if (!chunk) break;
    ItunesDbAlbum album;
    album.id = chunk->U32(data, 16);
    const uint32_t object_count = chunk->U32(data, 12);
    size_t child = chunk->header_end;
    for (uint32_t k = 0; k < object_count; ++k) {
      auto object = idb::ReadObject(data, child, chunk->end);
      if (!object) break;
      if (object->first.group == ItunesDbObjectGroup::kString) {
        album.strings[object->first.type] = std::move(object->first.text);
      }
      child = object->second;
    }
    albums_.push_back(std::move(album));
    pos = chunk->end;
  }
}

ItunesDbMediaLists ItunesDbReader::ExtractMedia() const {
  ItunesDbMediaLists lists;
  std::set<uint32_t> listed;
  for (const ItunesDbPlaylist& playlist : playlists_) {
    for (uint32_t id : playlist.track_ids) {
      const auto found = tracks_.find(id);
      if (found == tracks_.end() || listed.count(id) != 0) continue;
      const ItunesDbTrack& track = found->second;
      ItunesDbMediaTrack media;
      media.id = id;
      media.title = track.String(1);
      media.location = track.String(2);
      std::replace(media.location.begin(), media.location.end(), ':', '/');
      media.album = track.String(3);
      media.artist = track.String(4);
      media.genre = track.String(5);
      media.grouping = track.String(13);
      media.file_size = track.file_size;
      media.length_ms = track.length_ms;
      const size_t dot = media.location.rfind('.');
      if (dot == std::string::npos) continue;
      const std::string extension = idb::LowerAscii(media.location.substr(dot + 1));
      std::vector<ItunesDbMediaTrack>* target = nullptr;
      if (extension == "mp4" || extension == "m4v" || extension == "mov") {
        target = &lists.video;
      } else if (extension == "mp3" || extension == "m4a" || extension == "wav") {
        target = &lists.audio;
      } else if (extension == "pdf" || extension == "epub") {
        target = &lists.books;
      } else if (extension == "m4r") {
        target =
            media.location.find("Music") != std::string::npos ? &lists.audio : &lists.ringtones;
      }
      if (target == nullptr) continue;
      listed.insert(id);
      target->push_back(std::move(media));
    }
  }
  return lists;
}
