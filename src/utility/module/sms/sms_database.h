// Reads the conversations out of a local copy of a device's message database, in the
// current schema (message, handle, chat and the two join tables) or the older one
// (message with address and flags).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "utility/module/sms/sms_records.h"

// The statement that reads the messages of the current schema.
extern const char kSmsMessageStatement[];

struct SmsReadResult {
  int64_t code = 0;              // 0, 19 (cannot open), 20 (cannot prepare), 6 (cancelled)
  std::vector<SmsChat> chats;    // newest last date first; empty: nothing to send
};

// Reads `path`. A database without "message", or with the table set of the transitional
// schema ("madrid_chat" without the current tables), reads as no conversations.
// `cancelled` is asked now and then; when it answers true the read ends with 6.
SmsReadResult ReadSmsDb(const std::string& path, const std::function<bool()>& cancelled);
