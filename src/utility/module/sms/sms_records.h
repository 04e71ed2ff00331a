// The conversations, messages and participants read from a device's message database, and
// their JSON objects for the front end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SmsMessage {
  int64_t row_id = 0;
  std::string chat_id;
  std::string text;
  int64_t date = 0;
  std::string date_text;
  int64_t date_read = 0;
  std::string date_read_text;
  int32_t is_from_me = 0;
  int32_t is_read = 0;
  int32_t is_sent = 0;
  int32_t error = 0;
  int64_t handle_id = 0;
  std::string handle_address;
  std::string subject;
  std::string account;
  std::string account_guid;
};

struct SmsHandle {
  int64_t row_id = 0;
  std::string chat_id;
  int64_t chat_row_id = 0;
  std::string service;
  std::string country;
  std::string address;
};

struct SmsChat {
  int64_t row_id = 0;
  std::string chat_id;
  int32_t is_group = 0;
  int64_t last_date = 0;
  std::string last_date_text;
  std::string display_phones;  // addresses, each followed by ','
  std::vector<SmsMessage> messages;
  std::vector<SmsHandle> handles;

  // The text of the latest message read; empty without messages.
  const std::string& Snippet() const;
  // Appends a message read in date order and makes it the latest.
  void AddMessage(SmsMessage message);
  // Adds `address` + ',' to the display phones unless they already contain it.
  void AddDisplayPhone(const std::string& address);
};

// Compact JSON objects, members in the order the front end expects.
std::string SmsChatJson(const SmsChat& chat);
std::string SmsMessageJson(const SmsMessage& message);
// The message object appended to `out`.
void AppendSmsMessageJson(const SmsMessage& message, std::string* out);
