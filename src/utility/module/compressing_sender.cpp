#include "utility/module/compressing_sender.h"

#include <system_error>
#include <utility>

#include "common/zlib_codec.h"
#include "utility/module/vado_module.h"

std::future<std::string> CompressAhead(std::string text) {
  auto compress = [text = std::move(text)] { return ZlibCompress(text, 9); };
  try {
    return std::async(std::launch::async, std::move(compress));
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, std::move(compress));
  }
}

CompressingSender::~CompressingSender() { Flush(); }

void CompressingSender::Send(const ReplyRecord& record) {
  ReplyRecord head = record;
  head.body = {};
  Waiting waiting;
  waiting.text = BuildMessageParts(head).text;
  if (!record.body.empty()) {
    if (record.type == 0) {
      waiting.body = CompressAhead(std::string(record.body));
    } else {
      std::promise<std::string> raw;
      raw.set_value(std::string(record.body));
      waiting.body = raw.get_future();
    }
  }
  Queue(std::move(waiting));
}

void CompressingSender::SendCompressed(const ReplyRecord& record, std::future<std::string> body) {
  ReplyRecord head = record;
  head.body = {};
  Queue({BuildMessageParts(head).text, std::move(body)});
}

void CompressingSender::Queue(Waiting waiting) {
  waiting_.push_back(std::move(waiting));
  while (waiting_.size() > kAhead) SendOldest();
}

void CompressingSender::Flush() {
  while (!waiting_.empty()) SendOldest();
}

void CompressingSender::SendOldest() {
  MessageParts parts;
  parts.text = std::move(waiting_.front().text);
  if (waiting_.front().body.valid()) parts.body = waiting_.front().body.get();
  waiting_.pop_front();
  module_.SendPreparedMessage(request_, parts, kind_);
}
