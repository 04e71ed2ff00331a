// The device's message database (Library/SMS/sms.db under the mobile home), generated with
// SQLite in the schema of the device's firmware.
#pragma once

#include <cstdint>
#include <string>

#include "farm/file_util.h"

namespace devsim {

enum class SmsSchema {
  kByFirmware,  // older up to 5, current from 6 (dates in nanoseconds from 11)
  kCurrent,     // message, handle, chat and the two join tables
  kOlder,       // message with address and flags, no handles
  kMadrid,      // the older tables plus madrid_chat: the transitional table set
};

struct SmsContentSpec {
  uint64_t messages = 0;  // no database when 0
  uint64_t chats = 0;     // conversations; at least 1 when there are messages
  SmsSchema schema = SmsSchema::kByFirmware;
};

constexpr uint64_t kMaxFarmMessages = 2'000'000;
constexpr uint64_t kMaxFarmChats = 100'000;

// "current", "older", "madrid"; false for anything else.
bool ParseSmsSchema(const std::string& text, SmsSchema* out);

// Writes `fsroot`/private/var/mobile/Library/SMS/sms.db for firmware `product_version`
// ("12.4"): the same seed gives the same database. False with `error` set on failure.
bool WriteSmsDatabase(const fs::path& fsroot, const std::string& product_version,
                      const SmsContentSpec& content, uint64_t seed, std::string* error);

}  // namespace devsim
