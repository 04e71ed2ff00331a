// AFC packets: a 40-byte header of five little-endian 64-bit fields (magic "CFA6LPAA",
// entire length, header-and-parameters length, packet number, operation), the operation's
// parameters, then an optional payload. Replies carry their data in the parameters, the
// payload or both; a reply is accepted only within the limits below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace md::afc {

constexpr size_t kHeaderSize = 40;
constexpr char kMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};

// Largest reply accepted for listings and key/value answers.
constexpr uint64_t kMaxListReply = 16u << 20;
// Largest read asked for in one request; longer reads return less (callers loop).
constexpr uint32_t kMaxReadChunk = 16u << 20;
// Largest write sent in one request.
constexpr size_t kMaxWriteChunk = 4u << 20;
// Longest path accepted from a caller.
constexpr size_t kMaxPath = 16u << 10;

enum Operation : uint64_t {
  kOpStatus = 0x01,
  kOpData = 0x02,
  kOpReadDirectory = 0x03,
  kOpRemovePath = 0x08,
  kOpMakeDirectory = 0x09,
  kOpGetFileInfo = 0x0A,
  kOpGetDeviceInfo = 0x0B,
  kOpFileOpen = 0x0D,
  kOpFileOpenResult = 0x0E,
  kOpFileRead = 0x0F,
  kOpFileWrite = 0x10,
  kOpFileSeek = 0x11,
  kOpFileTell = 0x12,
  kOpFileTellResult = 0x13,
  kOpFileClose = 0x14,
  kOpFileSetSize = 0x15,
  kOpRenamePath = 0x18,
  kOpFileLock = 0x1B,
};

// Status numbers (also the results of the AFC functions).
enum Status : int {
  kOk = 0,
  kUnknownError = 1,
  kHeaderInvalid = 2,
  kReadError = 4,
  kWriteError = 5,
  kInvalidArgument = 7,
  kObjectNotFound = 8,
  kTooMuchData = 13,
  kEndOfData = 14,
  kNotSupported = 15,
  kIoError = 20,
  kMuxError = 30,
  kNoMemory = 31,
  kNotEnoughData = 32,
};

struct Header {
  uint64_t entire_length = 0;
  uint64_t this_length = 0;
  uint64_t packet_num = 0;
  uint64_t operation = 0;
};

// Appends a header for a request with `params` bytes of parameters and `payload` bytes after.
void EncodeHeader(uint64_t packet_num, uint64_t operation, size_t params, size_t payload,
                  std::vector<uint8_t>* out);
void AppendU64(uint64_t value, std::vector<uint8_t>* out);
uint64_t ReadU64(const uint8_t* p);

// Parses and checks a reply header: magic, packet number, this_length >= 40 and
// entire_length >= this_length. Returns kOk or kHeaderInvalid.
int DecodeHeader(const uint8_t (&bytes)[kHeaderSize], uint64_t expected_packet, Header* out);

// Splits NUL-terminated strings; a trailing string without its NUL is kept as well.
std::vector<std::string> SplitStrings(const uint8_t* data, size_t size);

// Status number as a function result: 0 stays 0, any number too large to be a status
// becomes kUnknownError (never success).
int StatusResult(uint64_t status);

}  // namespace md::afc
