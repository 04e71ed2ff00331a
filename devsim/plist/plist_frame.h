// The message framing of lockdownd and of the property-list services: a 4-byte big-endian
// length followed by that many bytes of property list (XML from libimobiledevice clients).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mux/byte_stream.h"
#include "plist/plist_ptr.h"

namespace devsim {

constexpr size_t kFrameHeaderSize = 4;
// lockdownd's messages are a few KiB (pair records); services carry more.
constexpr uint32_t kMaxLockdownMessage = 1u << 20;
constexpr uint32_t kMaxServiceMessage = 10u << 20;

enum class FrameStatus { kOk, kClosed, kTooLong, kEmpty, kTruncated };

uint32_t DecodeFrameLength(const uint8_t* four_bytes);
std::string EncodeFrame(std::string_view body);

// Reads one frame. kClosed: the peer closed cleanly before a frame began. Lengths of 0 or
// above max are rejected before anything is allocated.
FrameStatus ReadFrame(ByteStream& in, uint32_t max, std::string* body);
// Writes header and body in one piece, as XML or binary.
bool WritePlistFrame(ByteStream& out, plist_t msg, bool binary = false);

}  // namespace devsim
