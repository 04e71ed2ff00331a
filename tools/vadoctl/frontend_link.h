// The front end's side of the agent link: listen on 127.0.0.1, accept the agent's
// connection, send requests and read its messages.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "common/packet_reassembler.h"

namespace vadoctl {

// One message from the agent with its sections decoded.
struct AgentMessage {
  uint64_t task_id = 0;
  uint32_t command_id = 0;
  uint16_t kind = 0;
  int32_t section_count = 0;
  std::string header;       // the header object text
  std::string body;         // decompressed body (raw when the header's type is not 0)
  size_t wire_body_size = 0;
  bool body_decoded = true; // false when a compressed body could not be inflated

  // One line of JSON: task, command, kind, header (parsed), body (JSON when it is
  // JSON, else its size).
  std::string ToJsonLine() const;
};

// Builds a request payload: "1", 0, header, 0, then the body (zlib-compressed unless
// `raw`). An empty body adds nothing.
std::string BuildRequestPayload(std::string_view header_json, std::string_view body, bool raw);

class FrontEndLink {
 public:
  FrontEndLink();
  ~FrontEndLink();
  FrontEndLink(const FrontEndLink&) = delete;
  FrontEndLink& operator=(const FrontEndLink&) = delete;

  // Binds 127.0.0.1 on a free port and listens; returns the port or -1.
  int Listen();
  int port() const { return port_; }
  bool Accept(std::chrono::milliseconds timeout);
  bool connected() const { return socket_ >= 0; }

  bool Send(uint32_t command_id, uint64_t task_id, uint16_t kind, std::string_view payload);
  bool SendBytes(std::string_view bytes);

  // The next message, waiting up to `timeout`; nothing on timeout or when the agent has
  // closed the link (then closed() is true).
  std::optional<AgentMessage> Receive(std::chrono::milliseconds timeout);
  bool closed() const { return closed_; }

 private:
  int listen_socket_ = -1;
  int socket_ = -1;
  int port_ = -1;
  bool closed_ = false;
  std::deque<bas::PacketPtr> ready_;
  bas::PacketReassembler reassembler_;
};

}  // namespace vadoctl
