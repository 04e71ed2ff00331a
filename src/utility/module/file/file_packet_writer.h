// Upload side of a block transfer: assembles a file on the device from blocks that may
// arrive in any order, under a staging name with a journal beside it, and commits it
// under a name that does not clash with an existing file.
//
// Device files of one upload: the staging data file (pre-sized to the full size) and
// the journal exist from Open until Close. The journal is rewritten whenever a block
// completes, so an upload whose writer never closed (the device went away) resumes from
// the first block still missing. Close commits a complete upload (journal removed, data
// renamed to the final path) and removes both files of an incomplete one.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "utility/module/file/file_header.h"

// Results of Open and WriteBlock.
inline constexpr int kFileStepReady = 3;
inline constexpr int kFileStepFailed = 0;

// Transfer data files currently open, across all writers and readers (logged only).
int OpenTransferFileCount();

// `path` itself when nothing exists there; otherwise folder + stem + "(n)" + extension for
// the smallest n >= 1 that is free. A path without "." or "/" comes back unchanged.
std::string UniqueDevicePath(AFCConnectionRef afc, const std::string& path);

class FilePacketWriter {
 public:
  FilePacketWriter() = default;
  ~FilePacketWriter() { Close(); }
  FilePacketWriter(const FilePacketWriter&) = delete;
  FilePacketWriter& operator=(const FilePacketWriter&) = delete;

  // Prepares the upload `header` describes (service, data path, final path, journal
  // path, size, md5, version, block table). kFileStepReady when ready, else failure.
  int Open(FileHeader header);
  // Writes one block. Only a block of the table with the same offset and length, whose
  // bytes are exactly that long, is written; kFileStepReady when it was, else failure.
  // A block written again stays done and is not counted twice. Safe beside other calls
  // of this writer on other threads: writes of one upload are made one at a time.
  int WriteBlock(const FilePacket& packet);
  bool AllDone() const;
  // Not for use while another thread writes blocks (see NextPending).
  const BlockEntry* FirstPending() const { return ::FirstPending(header_.blocks); }
  // A copy of the first entry in table order that is neither done nor in `except`.
  std::optional<BlockEntry> NextPending(const std::set<int64_t>& except) const;
  // Safe beside Close on another thread.
  bool IsOpen() const { return open_; }
  const FileHeader& header() const { return header_; }

  // Commits or discards (see the file comment); idempotent. True only when the first call
  // committed a complete upload and the device confirmed the rename to the final path.
  // Waits for a block write still in progress on another thread.
  bool Close();

 private:
  bool WriteJournal();
  void LoadJournal();

  // Serialises block writes (a seek and a write on one file handle, then the journal).
  std::mutex write_mutex_;
  // Guards the block table's done flags; never held across device I/O, so asking what is
  // still missing never waits for a write.
  mutable std::mutex table_mutex_;
  FileHeader header_;
  bool closed_ = false;
  std::atomic<bool> open_{false};  // the staging data file is open
  bool staged_ = false;  // the staging file exists: Close must commit or remove it
};
