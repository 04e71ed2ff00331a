// The raw file stream of the backup service, sent between a request and its status response.
// All lengths are 32-bit big-endian.
//   file record: name length + name (device -> host: source name, then target path; host ->
//                device: the requested path only), then chunks;
//   chunk:       length (counting the code byte), code, length - 1 payload bytes;
//   a name length of 0 ends the list.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "mux/byte_stream.h"

namespace devsim {

enum ChunkCode : uint8_t {
  kChunkSuccess = 0x00,      // end of this file
  kChunkHostError = 0x06,    // the host could not send the file; payload is the error text
  kChunkDeviceError = 0x0B,  // the device could not read the file; payload is the error text
  kChunkData = 0x0C,
};

// Longer names desynchronise libimobiledevice's reader, so neither side sends or takes them.
constexpr uint32_t kMaxStreamName = 4096;
// Error texts are read whole; data chunks are streamed and only bounded by the 32-bit length.
constexpr uint32_t kMaxErrorText = 64 * 1024;
// Data chunks the device sends; hosts read them in smaller pieces anyway.
constexpr size_t kUploadChunk = 256 * 1024;

class StreamWriter {
 public:
  explicit StreamWriter(ByteStream& out) : out_(out) {}
  bool Name(std::string_view name);
  bool Data(const char* bytes, size_t len);  // splits into chunks of at most kUploadChunk
  bool End(ChunkCode code, std::string_view text = {});
  bool EndList();

 private:
  ByteStream& out_;
};

enum class NameRead { kName, kEndOfList, kBad };
enum class FileRead { kOk, kHostError, kDeviceError, kSinkFailed, kBad };

// Receives the host's side of a download: a name record, then the file's chunks.
class StreamReader {
 public:
  // Gets each piece of file data; false stops writing but the chunks are still drained.
  using Sink = std::function<bool(const char* bytes, size_t len)>;

  explicit StreamReader(ByteStream& in) : in_(in) {}
  NameRead ReadName(std::string* name);
  // Reads chunks up to the end of the file. kHostError/kDeviceError carry the text in `error`.
  // kSinkFailed: the data was drained and the stream is still in step. kBad: the link is
  // broken or out of step and must be abandoned.
  FileRead ReadFile(const Sink& sink, std::string* error);

 private:
  ByteStream& in_;
};

}  // namespace devsim
