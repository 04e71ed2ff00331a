// The record model of a block transfer: one file's header with its block table, the
// JSON texts that carry it (block message, description, upload description, journal),
// and the table walks every transfer step uses.
//
// Block table order: keys are block ids written in decimal and compared byte by byte,
// so "10" sorts before "2". Every walk "in table order" follows that order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "iOSAPI/mobile_device_api.h"
#include "utility/ios/vado_device_service.h"

// Block size of downloads (every block but the last).
inline constexpr int64_t kDownloadBlockSize = 2097152;
// The format version this program writes.
inline constexpr const char* kFileFormatVersion = "1";

struct BlockEntry {
  int64_t id = 0;
  int64_t offset = 0;    // byte position in the file
  int64_t length = 0;    // "offset_length"
  uint8_t done = 0;
  int64_t received = 0;  // bytes written for this block in this process
};

using BlockTable = std::map<std::string, BlockEntry>;

struct FileHeader {
  ServicePtr service;    // the task's file-service connection; every device call uses it
  AFCFileRef file = 0;   // open data file, 0 when closed
  std::string path;          // data file (the staging file of an upload)
  std::string path_source;   // where a finished upload is committed
  std::string path_project;  // the upload's journal
  std::string type;
  std::string file_name;
  std::string version = kFileFormatVersion;
  std::string md5;
  int64_t size = 0;
  int64_t block_size = 0;
  BlockTable blocks;
};

// One block in flight: the block message's three values and the block's bytes.
struct FilePacket {
  int64_t id = 0;
  int64_t offset = 0;
  int64_t length = 0;
  const uint8_t* data = nullptr;
  size_t count = 0;
};

// The table key of a block id ("%lld").
std::string BlockKey(int64_t id);

// Cuts `header` (size and block size both non-zero) into ceil(size / block size) blocks
// numbered from 1, none done. A header with a zero or negative figure gets an empty table.
void MakeBlocks(FileHeader* header);

// First entry in table order that is not done; null when there is none.
const BlockEntry* FirstPending(const BlockTable& blocks);
bool AllBlocksDone(const BlockTable& blocks);

// True when every block lies inside [0, size) with a positive length. Tables read from
// the front end or a device journal are checked with this before they are used.
bool BlocksWithinFile(const BlockTable& blocks, int64_t size);

// Block message: {"id":..,"offset_length":..,"offset":..}.
std::string BlockMessageJson(int64_t id, int64_t length, int64_t offset);
// Reads a block message by key name; missing keys read as 0. False when `text` is not a
// JSON object.
bool ParseBlockMessage(std::string_view text, FilePacket* packet);

// Description sent with a download.
std::string DescriptionJson(const FileHeader& header);
// Journal of an upload: the data file's name, md5, size and every block with its state.
std::string JournalJson(const FileHeader& header);

// Reads an upload description into `header` (md5, path, version, size, path_source,
// path_project, blocks, none done). False when it is not an object, the size is negative
// or a block lies outside the file.
bool ParseUploadDescription(std::string_view text, FileHeader* header);

// Reads a journal. `version` and `size` are what it records; `blocks` its table with
// the done flags it records. False when it does not parse.
bool ParseJournal(std::string_view text, std::string* version, int64_t* size, BlockTable* blocks);
