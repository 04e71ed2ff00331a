#include "utility/module/sms/sms_records.h"

#include <charconv>

#include "common/json_text.h"

namespace {

// Plain printable ASCII needs no escaping; anything else goes through the full escaper,
// which also mends invalid UTF-8.
bool NeedsEscape(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') return true;
  }
  return false;
}

void AddKey(std::string* out, const char* key) {
  *out += '"';
  *out += key;
  *out += "\":";
}

void AddText(std::string* out, const char* key, const std::string& value) {
  AddKey(out, key);
  *out += '"';
  if (NeedsEscape(value)) *out += JsonEscape(value);
  else *out += value;
  *out += "\",";
}

void AddNumber(std::string* out, const char* key, int64_t value) {
  AddKey(out, key);
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  out->append(digits, end);
  *out += ',';
}

// Replaces the trailing ',' of the last member by the closing brace.
void Close(std::string* out, char closing) {
  if (!out->empty() && out->back() == ',') out->back() = closing;
  else *out += closing;
}

std::string HandleJson(const SmsHandle& handle) {
  std::string out = "{";
  AddNumber(&out, "id", handle.row_id);
  AddNumber(&out, "chat_rowid", handle.chat_row_id);
  AddText(&out, "chat_id", handle.chat_id);
  AddText(&out, "service", handle.service);
  AddText(&out, "country", handle.country);
  AddText(&out, "handle_id_phone", handle.address);
  Close(&out, '}');
  return out;
}

}  // namespace

const std::string& SmsChat::Snippet() const {
  static const std::string kEmpty;
  return messages.empty() ? kEmpty : messages.back().text;
}

void SmsChat::AddMessage(SmsMessage message) {
  last_date = message.date;
  last_date_text = message.date_text;
  messages.push_back(std::move(message));
}

void SmsChat::AddDisplayPhone(const std::string& address) {
  if (display_phones.find(address) != std::string::npos) return;
  display_phones += address;
  display_phones += ',';
}

std::string SmsChatJson(const SmsChat& chat) {
  std::string out = "{";
  AddText(&out, "id", std::to_string(chat.row_id));
  AddText(&out, "chat_id", chat.chat_id);
  AddText(&out, "snippet", chat.Snippet());
  std::string phones = chat.display_phones;
  if (!phones.empty() && phones.back() == ',') phones.pop_back();
  AddText(&out, "display_phone", phones);
  AddNumber(&out, "is_group", chat.is_group);
  AddNumber(&out, "date", chat.last_date);
  AddText(&out, "date_str", chat.last_date_text);
  out += "\"handles\":[";
  for (size_t i = 0; i < chat.handles.size(); ++i) {
    if (i > 0) out += ',';
    out += HandleJson(chat.handles[i]);
  }
  out += "],";
  AddNumber(&out, "message_count", static_cast<int64_t>(chat.messages.size()));
  Close(&out, '}');
  return out;
}

std::string SmsMessageJson(const SmsMessage& message) {
  std::string out;
  AppendSmsMessageJson(message, &out);
  return out;
}

void AppendSmsMessageJson(const SmsMessage& message, std::string* buffer) {
  std::string& out = *buffer;
  out += '{';
  AddNumber(&out, "id", message.row_id);
  AddText(&out, "chat_id", message.chat_id);
  AddText(&out, "text", message.text);
  AddNumber(&out, "date", message.date);
  AddText(&out, "date_str", message.date_text);
  AddNumber(&out, "date_read", message.date_read);
  AddText(&out, "date_read_str", message.date_read_text);
  AddNumber(&out, "is_from_me", message.is_from_me);
  AddNumber(&out, "is_read", message.is_read);
  AddNumber(&out, "is_sent", message.is_sent);
  AddNumber(&out, "error", message.error);
  AddNumber(&out, "handle_id", message.handle_id);
  AddText(&out, "handle_id_phone", message.handle_address);
  AddText(&out, "subject", message.subject);
  AddText(&out, "account_guid", message.account_guid);
  AddText(&out, "account", message.account);
  Close(&out, '}');
}
