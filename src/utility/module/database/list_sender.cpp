#include "utility/module/database/list_sender.h"

#include <algorithm>

#include "common/json_text.h"
#include "common/message_sections.h"
#include "utility/module/vado_module.h"

void ListSender::Send(int32_t stage, int64_t code, std::string info, std::string_view body) {
  ReplyRecord record;
  record.stage = stage;
  record.code = code;
  record.uuid = uuid_;
  record.type = 0;
  record.info = std::move(info);
  record.body = body;
  module_.SendMessage(request_, record, kKindProgress);
}

void ListSender::SendPath(const std::string& path) {
  std::string forward = path;
  for (char& c : forward) {
    if (c == '\\') c = '/';
  }
  Send(-1, 0, JsonQuote(forward), {});
}

void ListSender::SendCount(size_t count) {
  count_info_ = "{\"Count\":" + std::to_string(count) + "}";
  Send(0, 0, count_info_, {});
}

void ListSender::SendGroup(std::string_view json) { Send(1, 0, count_info_, json); }

void ListSender::SendItems(size_t count,
                           const std::function<void(size_t, std::string*)>& render) {
  std::string batch;
  for (size_t first = 0; first < count; first += kBatchSize) {
    const size_t end = std::min(count, first + kBatchSize);
    batch.clear();
    batch += '[';
    for (size_t i = first; i < end; ++i) {
      if (i > first) batch += ',';
      render(i, &batch);
    }
    batch += ']';
    Send(1, 1, count_info_, batch);
  }
}
