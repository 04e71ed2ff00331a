// AFC packet format.
//
// Every packet starts with a 40-byte header of five little-endian uint64:
//   magic          "CFA6LPAA"
//   entire_length  header + header data + payload
//   this_length    header + header data (the payload starts here)
//   packet_num     chosen by the client; a reply carries the request's number
//   operation      opcode below
// Only FileRefWrite requests carry a payload; replies carry one in DATA packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace devsim::afc {

constexpr size_t kHeaderSize = 40;
constexpr char kMagic[] = "CFA6LPAA";
// Header data holds paths and a few integers.
constexpr uint64_t kMaxHeaderData = 64 * 1024;
// Largest write payload accepted in one packet (clients write 1 to 4 MiB at a time).
constexpr uint64_t kMaxPayload = 64ull << 20;
// Largest read served in one reply; clients loop on short reads.
constexpr uint64_t kMaxReadChunk = 16ull << 20;

enum Op : uint64_t {
  kOpStatus = 0x01,
  kOpData = 0x02,
  kOpReadDirectory = 0x03,
  kOpTruncateFile = 0x07,
  kOpRemovePath = 0x08,
  kOpMakeDirectory = 0x09,
  kOpGetFileInfo = 0x0A,
  kOpGetDeviceInfo = 0x0B,
  kOpFileRefOpen = 0x0D,
  kOpFileRefOpenResult = 0x0E,
  kOpFileRefRead = 0x0F,
  kOpFileRefWrite = 0x10,
  kOpFileRefSeek = 0x11,
  kOpFileRefTell = 0x12,
  kOpFileRefTellResult = 0x13,
  kOpFileRefClose = 0x14,
  kOpFileRefSetFileSize = 0x15,
  kOpRenamePath = 0x18,
  kOpFileRefLock = 0x1B,
  kOpMakeLink = 0x1C,
  kOpSetModTime = 0x1E,
  kOpRemovePathAndContents = 0x22,
};

enum Status : uint64_t {
  kSuccess = 0,
  kUnknownError = 1,
  kOpHeaderInvalid = 2,
  kNoResources = 3,
  kReadError = 4,
  kWriteError = 5,
  kUnknownPacketType = 6,
  kInvalidArg = 7,
  kObjectNotFound = 8,
  kObjectIsDir = 9,
  kPermDenied = 10,
  kTooMuchData = 13,
  kEndOfData = 14,
  kOpNotSupported = 15,
  kObjectExists = 16,
  kObjectBusy = 17,
  kNoSpaceLeft = 18,
  kOpWouldBlock = 19,
  kIoError = 20,
  kInternalError = 23,
  kDirNotEmpty = 33,
};

struct Header {
  uint64_t entire_length = 0;
  uint64_t this_length = 0;
  uint64_t packet_num = 0;
  uint64_t operation = 0;
};

enum class HeaderError { kNone, kBadMagic, kBadLengths, kHeaderDataTooLong, kPayloadTooLong };

HeaderError DecodeHeader(const uint8_t* bytes, Header* out);
void EncodeHeader(const Header& h, uint8_t* out);

// Reply header for a packet with `data_len` bytes of header data and `payload_len` bytes of
// payload.
std::string ReplyHeader(uint64_t packet_num, uint64_t op, uint64_t data_len, uint64_t payload_len);

uint64_t ReadLe64(const char* p);
void AppendLe64(std::string* out, uint64_t v);

// Reads the NUL-terminated string at `offset` of the header data (the end of the data also
// ends it); false when offset is past the data.
bool ReadCString(std::string_view data, size_t offset, std::string* out, size_t* next);

}  // namespace devsim::afc
