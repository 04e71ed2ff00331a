// The raw file stream of the backup service: files the device uploads during a backup,
// and files the computer sends when the device asks for them during a restore.
//
// Records (all lengths 32-bit big-endian):
//   name   length, bytes (a length of 0 ends a list)
//   chunk  length n counting the code byte, code, n - 1 bytes;
//          code 12 data, 0 end of file, 11 device error text, 6 computer error text
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "iOSAPI/mobile_device_api.h"

enum FileChunkCode : uint8_t {
  kChunkSuccess = 0,
  kChunkLocalError = 6,
  kChunkRemoteError = 11,
  kChunkData = 12,
};

// Largest piece moved per read or write, in both directions.
inline constexpr size_t kFilePieceBytes = 32768;

struct ReceiveResult {
  int64_t code = 0;     // 0: the list ended normally
  std::string message;  // why it did not
  uint64_t files = 0;
  uint64_t bytes = 0;
};

struct ReceiveHooks {
  // The local file for a device path, or nothing to refuse it (the receive then fails).
  std::function<std::optional<std::string>(const std::string& device_path)> map_path;
  // Whether a file's data is kept (false: read and dropped).
  std::function<bool(const std::string& local_path)> keep = nullptr;
  // Checked before the first file and after each; a non-zero code ends the receive.
  std::function<int64_t()> check = nullptr;
  // Called after every piece that arrived: the device is making progress.
  std::function<void()> moved = nullptr;
};

// Reads one upload list up to its end marker, writing each kept file in pieces.
ReceiveResult ReceiveFiles(AMDServiceConnectionRef connection, const ReceiveHooks& hooks);

// Sends one file in answer to a download request: the name record of `device_path`,
// then data chunks and a success chunk, or an error chunk when the file cannot be read.
// Returns 0, or a negative value when the file could not be sent (the caller stops);
// `error_number` then holds the local error (0 when the connection failed). `moved` is
// called after every chunk sent.
int SendFile(AMDServiceConnectionRef connection, const std::string& device_path,
             const std::string& local_path, const std::function<void()>& moved,
             int* error_number);

// The device-link file error code of a local error number (-6 for a missing file).
int DeviceLinkFileError(int error_number);

// A name record of `name`, an error chunk and the end marker: a download request the
// computer cannot serve.
bool SendMissingFile(AMDServiceConnectionRef connection, const std::string& name);

// A 4-byte 0: the end of a file list.
bool SendEndOfList(AMDServiceConnectionRef connection);
