// usbmux packet format as clients of the mux daemon speak it.
//
// Every packet starts with a 16-byte header of four little-endian uint32:
//   length   total bytes including the header (16 .. kMaxPacket)
//   version  0 binary protocol, 1 property-list protocol (the only one served here)
//   message  8 = property-list message; replies and notifications use 8 as well
//   tag      echoed in replies; 0 in notifications
// followed, for message 8, by an XML (or binary) property list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "plist/plist_ptr.h"

namespace devsim::usbmux {

constexpr size_t kHeaderSize = 16;
// Pair records are a few KiB; nothing a client sends legitimately comes near this.
constexpr uint32_t kMaxPacket = 1u << 20;

constexpr uint32_t kVersionBinary = 0;
constexpr uint32_t kVersionPlist = 1;
constexpr uint32_t kMessagePlist = 8;

enum ResultCode : uint64_t {
  kResultOk = 0,
  kResultBadCommand = 1,
  kResultBadDevice = 2,
  kResultConnRefused = 3,
  kResultBadVersion = 6,
  kResultNotFound = 2,   // errno ENOENT, used by pair-record requests
  kResultInvalid = 22,   // errno EINVAL, used by pair-record requests
};

struct Header {
  uint32_t length = 0;
  uint32_t version = 0;
  uint32_t message = 0;
  uint32_t tag = 0;
};

enum class HeaderError { kNone, kTooShort, kTooLong };

// Decodes the 16 header bytes; rejects lengths below the header size or above kMaxPacket.
HeaderError DecodeHeader(const uint8_t* bytes, Header* out);
void EncodeHeader(const Header& h, uint8_t* out);

// A whole property-list packet (header + XML body) ready for one write.
std::string EncodePlistPacket(uint32_t tag, plist_t body);
std::string EncodeResultPacket(uint32_t tag, uint64_t number);

// The fields of a client request that the daemon acts on.
struct Request {
  std::string message_type;
  std::optional<uint64_t> device_id;
  std::optional<uint64_t> port_number_raw;  // as sent: the port in network order
  std::optional<std::string> pair_record_id;
  std::optional<std::string> pair_record_data;
  std::string prog_name;
  Plist body;  // the whole dictionary, for requests with further keys
};

// Parses a property-list payload. False (with a reason) when it is not a dictionary with a
// string MessageType.
bool ParseRequest(std::string_view payload, Request* out, std::string* error);

// PortNumber carries htons(port) as an integer; values above 16 bits are invalid.
std::optional<uint16_t> DecodePort(uint64_t raw);

}  // namespace devsim::usbmux
