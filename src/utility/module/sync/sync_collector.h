// Reply handlers of the sync conversation. Every reply is decoded once into the value
// model; a collector sees the decoded message (the property list's top value) and decides
// whether the exchange reads another reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/plist_value.h"

class SyncCollector {
 public:
  virtual ~SyncCollector() = default;
  // `message` is the decoded reply, or null when it could not be decoded. `read_another`
  // is 0 on entry; set it to read one more reply. `result` is what the exchange returns
  // (0 until set).
  virtual void OnReply(const PlistValue* message, int* read_another, uint32_t* result) = 0;

  // Which work the module's collector does with the next reply (the module defines the
  // values; 0 and 1 are the first and further batches of a read).
  int32_t mode = 0;
};

// Keeps reading until a reply holds `name` (ASCII case ignored) as one of its elements.
// An undecodable reply ends the wait.
class WaitForMessageName : public SyncCollector {
 public:
  explicit WaitForMessageName(std::string_view name);
  void OnReply(const PlistValue* message, int* read_another, uint32_t* result) override;
  // Whether a reply held the name.
  bool found() const { return found_; }

 private:
  std::u16string name_;
  bool found_ = false;
};

// Consumes one reply, whatever it holds.
class ReadOneReply : public SyncCollector {
 public:
  void OnReply(const PlistValue*, int*, uint32_t*) override {}
};

// True when `message` is an array with a text element equal to `text`.
bool MessageHasText(const PlistValue& message, std::string_view text, bool ignore_case = false);
