#include "frontend_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <rapidjson/document.h>

#include "common/json_text.h"
#include "common/message_sections.h"
#include "common/zlib_codec.h"

namespace vadoctl {
namespace {

constexpr size_t kMaxBodyOutput = 1ull << 30;

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool IsJson(std::string_view text) {
  rapidjson::Document document;
  document.Parse(text.data(), text.size());
  return !document.HasParseError();
}

}  // namespace

std::string AgentMessage::ToJsonLine() const {
  std::string line = "{\"task\":" + std::to_string(task_id) +
                     ",\"command\":" + std::to_string(command_id) +
                     ",\"kind\":" + std::to_string(kind) + ",\"header\":";
  line += IsJson(header) ? header : JsonQuote(header);
  if (wire_body_size == 0) {
    line += ",\"body\":null";
  } else if (body_decoded && IsJson(body)) {
    line += ",\"body\":" + body;
  } else {
    line += ",\"body_size\":" + std::to_string(body_decoded ? body.size() : wire_body_size);
    if (!body_decoded) line += ",\"body_error\":\"not a zlib stream\"";
  }
  line += "}";
  return line;
}

std::string BuildRequestPayload(std::string_view header_json, std::string_view body, bool raw) {
  std::string payload = "1";
  payload += '\0';
  payload += header_json;
  payload += '\0';
  if (!body.empty()) payload += raw ? std::string(body) : ZlibCompress(body, 9);
  return payload;
}

FrontEndLink::FrontEndLink()
    : reassembler_([this](bas::PacketPtr packet) { ready_.push_back(std::move(packet)); },
                   [](const std::string&) {}) {}

FrontEndLink::~FrontEndLink() {
  if (socket_ >= 0) ::close(socket_);
  if (listen_socket_ >= 0) ::close(listen_socket_);
}

int FrontEndLink::Listen() {
  listen_socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_socket_ < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (::bind(listen_socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listen_socket_, 4) != 0 ||
      ::getsockname(listen_socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  port_ = ntohs(address.sin_port);
  return port_;
}

bool FrontEndLink::Accept(std::chrono::milliseconds timeout) {
  pollfd entry{listen_socket_, POLLIN, 0};
  if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return false;
  socket_ = ::accept4(listen_socket_, nullptr, nullptr, SOCK_CLOEXEC);
  if (socket_ < 0) return false;
  int one = 1;
  ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return true;
}

bool FrontEndLink::SendBytes(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool FrontEndLink::Send(uint32_t command_id, uint64_t task_id, uint16_t kind,
                        std::string_view payload) {
  bas::PacketHeader header;
  header.task_id = task_id;
  header.command_id = command_id;
  header.kind = kind;
  header.payload_length = payload.size();
  uint8_t encoded[bas::kPacketHeaderSize];
  bas::EncodePacketHeader(header, encoded);
  // Header and payload leave in one gathered write: block uploads are megabytes, and
  // joining them first would copy every block once more.
  iovec parts[2] = {{encoded, sizeof encoded},
                    {const_cast<char*>(payload.data()), payload.size()}};
  size_t first = 0;
  while (first < 2) {
    msghdr message{};
    message.msg_iov = parts + first;
    message.msg_iovlen = 2 - first;
    ssize_t sent = ::sendmsg(socket_, &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    size_t left = static_cast<size_t>(sent);
    while (first < 2 && left >= parts[first].iov_len) {
      left -= parts[first].iov_len;
      ++first;
    }
    if (first < 2) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return true;
}

std::optional<AgentMessage> FrontEndLink::Receive(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  // Large reads: a downloaded block is megabytes.
  thread_local std::vector<uint8_t> storage(256 * 1024);
  uint8_t* buffer = storage.data();
  while (ready_.empty() && !closed_ && socket_ >= 0) {
    pollfd entry{socket_, POLLIN, 0};
    int ready = ::poll(&entry, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    ssize_t n = ::recv(socket_, buffer, storage.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed_ = true;
      break;
    }
    // Heartbeats arrive as a whole 8-byte write between messages; inside a message the
    // same eight bytes are payload (a binary block may hold them).
    if (!reassembler_.InProgress() && bas::IsHeartbeat(buffer, static_cast<size_t>(n))) continue;
    reassembler_.Feed(nullptr, buffer, static_cast<size_t>(n));
  }
  if (ready_.empty()) return std::nullopt;
  bas::PacketPtr packet = std::move(ready_.front());
  ready_.pop_front();

  AgentMessage message;
  message.task_id = packet->task_id;
  message.command_id = packet->command_id;
  message.kind = packet->kind;
  std::string_view payload;
  if (packet->data() != nullptr) {
    payload = std::string_view(reinterpret_cast<const char*>(packet->data()), packet->length);
  }
  MessageSections sections = SplitMessage(payload);
  if (!sections.valid) {
    message.header = std::string(payload);
    return message;
  }
  message.section_count = sections.count;
  message.header = std::string(sections.header);
  message.wire_body_size = sections.body.size();
  if (!sections.body.empty()) {
    rapidjson::Document header;
    header.Parse(message.header.c_str());
    bool raw = header.IsObject() && header.HasMember("type") && header["type"].IsInt() &&
               header["type"].GetInt() != 0;
    if (raw) {
      message.body = std::string(sections.body);
    } else if (auto inflated = ZlibDecompress(sections.body, kMaxBodyOutput)) {
      message.body = std::move(*inflated);
    } else {
      message.body_decoded = false;
    }
  }
  return message;
}

}  // namespace vadoctl
