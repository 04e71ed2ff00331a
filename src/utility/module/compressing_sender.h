// Sends a request's messages in order while their bodies are compressed ahead, each on a
// thread of its own: a long listing keeps both cores busy (building the next array while
// the ones before are compressed), and at most `kAhead` messages wait unsent.
#pragma once

#include <cstdint>
#include <deque>
#include <future>
#include <string>

#include "common/ipc_packet.h"
#include "common/message_sections.h"

class VadoModule;

// Starts compressing `text` as a type-0 message body (in line when no thread can start).
std::future<std::string> CompressAhead(std::string text);

class CompressingSender {
 public:
  static constexpr size_t kAhead = 2;

  CompressingSender(VadoModule& module, const bas::IPCPacket1& request, uint16_t kind)
      : module_(module), request_(request), kind_(kind) {}
  // Whatever is still waiting is sent: a listing is never cut short by an early return.
  ~CompressingSender();
  CompressingSender(const CompressingSender&) = delete;
  CompressingSender& operator=(const CompressingSender&) = delete;

  // Queues one message; its texts are copied, so the record may change right after.
  void Send(const ReplyRecord& record);
  // Queues one message of type 0 whose body is being compressed already (`record.body`
  // is not looked at).
  void SendCompressed(const ReplyRecord& record, std::future<std::string> body);
  // Sends every queued message; call before the request's final answer.
  void Flush();

 private:
  struct Waiting {
    std::string text;
    std::future<std::string> body;  // invalid: no body
  };
  void Queue(Waiting waiting);
  void SendOldest();

  VadoModule& module_;
  const bas::IPCPacket1& request_;
  uint16_t kind_;
  std::deque<Waiting> waiting_;
};
