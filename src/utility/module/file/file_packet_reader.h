// Download side of a block transfer: cuts a device file into blocks and reads them on
// request into a caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "utility/module/file/file_header.h"

class FilePacketReader {
 public:
  FilePacketReader() = default;
  ~FilePacketReader() { Close(); }
  FilePacketReader(const FilePacketReader&) = delete;
  FilePacketReader& operator=(const FilePacketReader&) = delete;

  // `header` gives the service, the device path and the block size. False when the file
  // cannot be looked up or opened, is empty, or the block size is 0. On success the
  // header holds the device's size, md5 "a" and the block table.
  bool Open(FileHeader header);
  // Reads min(packet->length, capacity) bytes at packet->offset into `buffer`; the count
  // goes to packet->count. True when at least one byte was read. A request outside the
  // file reads nothing. Reads from several threads are made one at a time (a seek and
  // a read on one file handle).
  bool ReadBlock(FilePacket* packet, uint8_t* buffer, size_t capacity);
  const FileHeader& header() const { return header_; }
  FileHeader& header() { return header_; }
  void Close();

 private:
  std::mutex read_mutex_;
  FileHeader header_;
};
