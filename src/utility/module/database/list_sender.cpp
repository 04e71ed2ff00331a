#include "utility/module/database/list_sender.h"

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

void ListSender::SendItems(const std::vector<std::string>& items) {
  std::string batch;
  size_t in_batch = 0;
  for (const std::string& item : items) {
    batch += in_batch == 0 ? "[" : ",";
    batch += item;
    if (++in_batch == kBatchSize) {
      batch += "]";
      Send(1, 1, count_info_, batch);
      batch.clear();
      in_batch = 0;
    }
  }
  if (in_batch > 0) {
    batch += "]";
    Send(1, 1, count_info_, batch);
  }
}
