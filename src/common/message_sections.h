// The payload of every message in both directions:
//   section count (ASCII decimal) 0x00, header object (JSON) 0x00, optional body.
// A body is a zlib stream unless the sender set a non-zero "type".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a sender fills before sending a message to the front end.
struct ReplyRecord {
  int32_t count = 1;
  int32_t stage = 0;
  int64_t code = 0;
  std::optional<std::string> uuid;  // JSON-escaped into the header; empty when absent
  int32_t type = 0;
  std::optional<std::string> info;  // raw JSON; "" when given but empty; absent: no key
  std::string_view body;
};

// {"stage":..,"code":..,"uuid":"..","type":..[,"info":..]} in that key order.
std::string BuildHeaderObject(const ReplyRecord& record);

struct MessageParts {
  std::string text;  // count, 0, header object, 0
  std::string body;  // compressed when type is 0, raw otherwise
};
MessageParts BuildMessageParts(const ReplyRecord& record);

// Text and body in one string, as forwarded to a peer.
std::string BuildMessageText(const ReplyRecord& record);

// A received payload split into its sections. `valid` is false when the count or the
// header object lacks its terminating 0 byte.
struct MessageSections {
  bool valid = false;
  int32_t count = 0;
  std::string_view header;
  std::string_view body;
};
MessageSections SplitMessage(std::string_view payload);
