#include "farm/itunes_cdb_builder.h"

#include <gpod/itdb.h>
#include <zlib.h>

#include <cstring>
#include <memory>

namespace devsim {

namespace {

struct ItdbDeleter {
  void operator()(Itdb_iTunesDB* db) const { itdb_free(db); }
};

uint32_t ReadLe32(const std::string& bytes, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[offset + i]);
  return v;
}

void WriteLe32(std::string* bytes, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

bool WriteItunesDb(const fs::path& path, const std::vector<CdbTrack>& tracks, std::string* error) {
  std::unique_ptr<Itdb_iTunesDB, ItdbDeleter> db(itdb_new());
  Itdb_Playlist* master = itdb_playlist_new("Library", FALSE);
  itdb_playlist_set_mpl(master);
  itdb_playlist_add(db.get(), master, -1);
  Itdb_Playlist* half = itdb_playlist_new("Every Second", FALSE);
  itdb_playlist_add(db.get(), half, -1);
  for (size_t i = 0; i < tracks.size(); ++i) {
    const CdbTrack& t = tracks[i];
    Itdb_Track* track = itdb_track_new();
    track->title = g_strdup(t.title.c_str());
    track->artist = g_strdup(t.artist.c_str());
    track->album = g_strdup(t.album.c_str());
    track->genre = g_strdup(t.genre.c_str());
    track->filetype = g_strdup(t.file_type.c_str());
    track->ipod_path = g_strdup(t.location.c_str());
    track->mediatype = t.media_type;
    track->tracklen = t.length_ms;
    track->size = 1000 + static_cast<uint32_t>(i);
    itdb_track_add(db.get(), track, -1);
    itdb_playlist_add_track(master, track, -1);
    if (i % 2 == 1) itdb_playlist_add_track(half, track, -1);
  }
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  GError* gerror = nullptr;
  if (!itdb_write_file(db.get(), path.c_str(), &gerror)) {
    *error = "cannot write the iTunes database";
    if (gerror != nullptr) {
      *error += std::string(": ") + gerror->message;
      g_error_free(gerror);
    }
    return false;
  }
  return true;
}

std::string CompressItunesDb(const std::string& plain) {
  if (plain.size() < 244 || plain.compare(0, 4, "mhbd") != 0) return {};
  const uint32_t header_length = ReadLe32(plain, 4);
  if (header_length <= 169 || header_length > plain.size()) return {};
  uLongf packed_size = compressBound(plain.size() - header_length);
  std::string packed(packed_size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                reinterpret_cast<const Bytef*>(plain.data() + header_length),
                plain.size() - header_length, Z_BEST_COMPRESSION) != Z_OK) {
    return {};
  }
  packed.resize(packed_size);
  std::string out = plain.substr(0, header_length);
  out[168] = 1;
  WriteLe32(&out, 8, static_cast<uint32_t>(header_length + packed.size()));
  out += packed;
  return out;
}

bool WriteItunesCdb(const fs::path& path, const std::vector<CdbTrack>& tracks, std::string* error) {
  const fs::path plain_path = path.string() + ".plain";
  if (!WriteItunesDb(plain_path, tracks, error)) return false;
  const std::optional<std::string> plain = ReadWholeFile(plain_path);
  std::error_code ec;
  fs::remove(plain_path, ec);
  const std::string packed = plain ? CompressItunesDb(*plain) : std::string();
  if (packed.empty() || !WriteFileAtomic(path, packed)) {
    *error = "cannot write the compressed iTunes database";
    return false;
  }
  return true;
}

}  // namespace devsim
