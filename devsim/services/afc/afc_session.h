// The AFC operations of one connection over a folder: open files, the request dispatcher and
// the replies. Free of sockets so tests and fuzzers drive it with packets in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "services/afc/afc_wire.h"
#include "farm/path_jail.h"
#include "services/afc/data_partition.h"

namespace devsim {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

struct AfcReply {
  std::string head;       // reply header and header data
  std::string_view body;  // payload; valid until the next Handle call
};

class AfcSession {
 public:
  // `device_info` gives the GetDeviceInfo pairs (Model, FSTotalBytes, FSFreeBytes, ...).
  // With a `partition`, writes that would store more than it has free fail with
  // kNoSpaceLeft and removals give their bytes back; without one space is unlimited.
  AfcSession(const std::filesystem::path& root, std::function<KeyValues()> device_info,
             DataPartition* partition = nullptr);
  AfcSession(const AfcSession&) = delete;
  AfcSession& operator=(const AfcSession&) = delete;

  bool valid() const { return jail_.valid(); }
  void Handle(const afc::Header& h, std::string_view data, std::string_view payload,
              AfcReply* out);

  static constexpr size_t kMaxOpenFiles = 1024;

 private:
  struct OpenFile {
    UniqueFd fd;
    bool locked = false;
  };

  // Reads the request's path and opens its parent inside the root; `name` is the last
  // component (empty for the root itself).
  uint64_t ResolvePathArgument(std::string_view data, UniqueFd* dir, std::string* name);
  uint64_t ReadDirectory(std::string_view data);
  uint64_t GetFileInfo(std::string_view data);
  uint64_t MakeDirectory(std::string_view data);
  uint64_t RemovePath(std::string_view data, bool recursive);
  uint64_t RenamePath(std::string_view data);
  uint64_t TruncateFile(std::string_view data);
  uint64_t MakeLink(std::string_view data);
  uint64_t SetModTime(std::string_view data);
  uint64_t FileOpen(std::string_view data, uint64_t* handle);
  uint64_t FileRead(std::string_view data);
  uint64_t FileWrite(std::string_view data, std::string_view payload);
  uint64_t FileSeek(std::string_view data);
  uint64_t FileTell(std::string_view data, uint64_t* pos);
  uint64_t FileClose(std::string_view data);
  uint64_t FileSetSize(std::string_view data);
  uint64_t FileLock(std::string_view data);
  OpenFile* FindHandle(std::string_view data);

  // Changes the partition's figure for a file that grew or shrank from `before` to `after`
  // bytes; false (nothing changed) when the growth does not fit.
  bool Resize(uint64_t before, uint64_t after);
  // ftruncate within the partition's free space.
  uint64_t SetSizeWithin(int fd, uint64_t size);

  PathJail jail_;
  std::function<KeyValues()> device_info_;
  DataPartition* partition_;
  std::map<uint64_t, OpenFile> files_;
  uint64_t next_handle_ = 1;  // 0 is never a valid handle
  std::string buf_;           // DATA reply payload, reused across requests
};

// Status code for an errno value from a file-system call.
uint64_t AfcStatusFromErrno(int err);

}  // namespace devsim
