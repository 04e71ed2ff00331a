// The device's compressed iTunes database (iTunes_Control/iTunes/iTunesCDB). The database
// itself is written by libgpod, an iTunesDB writer independent of the agent's reader; the
// farm then compresses everything after the database header with zlib, as the device keeps
// it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "farm/file_util.h"

namespace devsim {

// One track the database lists; the location uses ':' separators
// (":Books:ABCD.epub").
struct CdbTrack {
  std::string title;
  std::string artist;
  std::string album;
  std::string genre;
  std::string location;
  std::string file_type;    // "MPEG audio file", "EPUB", ...
  uint32_t media_type = 1;  // libgpod media type bits
  int32_t length_ms = 0;
};

// Writes the uncompressed database (iTunesDB form) with every track in the master
// playlist and in one further playlist holding every second track.
bool WriteItunesDb(const fs::path& path, const std::vector<CdbTrack>& tracks, std::string* error);

// The compressed form of an uncompressed database: its header as it is (byte 168 set to 1
// and the total length updated) followed by one zlib stream of the rest. Empty when the
// bytes do not start with a database header.
std::string CompressItunesDb(const std::string& plain);

// WriteItunesDb, then the compressed form at `path`.
bool WriteItunesCdb(const fs::path& path, const std::vector<CdbTrack>& tracks, std::string* error);

}  // namespace devsim
