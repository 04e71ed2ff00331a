// Reads arbitrary bytes as a device's message database, the way command 201 reads the copy
// a backup delivered.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "utility/module/sms/sms_database.h"
#include "utility/module/sms/sms_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/vado-fuzz-sms-" + std::to_string(::getpid()) + ".db";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  std::remove((path + "-journal").c_str());
  std::remove((path + "-wal").c_str());
  SmsReadResult read = ReadSmsDb(path, nullptr);
  for (const SmsChat& chat : read.chats) {
    SmsChatJson(chat);
    for (const SmsMessage& message : chat.messages) SmsMessageJson(message);
  }
  return 0;
}
