// The device end of a mobile sync conversation on a socketpair, for tests of the agent's
// session and modules without a simulator. It answers the way the sync service does:
// batches for a read, change batches and readiness before a push, a remapping for every
// pushed change message, and the end of the session on finish. Every message the agent
// sent is kept, decoded.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/plist_value.h"
#include "iOSAPI/mobile_device_api.h"

class FakeSyncDevice {
 public:
  FakeSyncDevice();
  ~FakeSyncDevice();  // closes both ends and joins the device thread

  // The agent's end (the stand-in library treats it as a descriptor).
  AMDServiceConnectionRef connection() const;

  // Record batches answering "get all records", as XML dictionaries of records.
  std::vector<std::string> batches;
  // How many (empty) change batches answer "get changes".
  int change_batches = 1;
  // Device identifier for a pushed record identifier; default "dev-" + identifier.
  std::function<std::string(const std::string&)> assign = [](const std::string& id) {
    return "dev-" + id;
  };
  // Replaces the whole answer to one message when set (return the XML texts to send).
  std::function<std::vector<std::string>(const PlistValue&)> override_answer;

  void Start();
  // Ends the agent's side too, so a conversation in progress sees a closed connection.
  void Stop();

  // Messages the agent sent (decoded top values), in order.
  std::vector<PlistValue> received() const;
  // Element 0 of every received message.
  std::vector<std::string> names() const;

 private:
  void Run();
  std::vector<std::string> Answer(const PlistValue& message);
  void SendXml(const std::string& xml);

  int fds_[2] = {-1, -1};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<PlistValue> received_;  // guarded by mutex_
  size_t next_batch_ = 0;
  int changes_left_ = 0;
  bool pulling_ = false;
};

// Text of element `i` of a received message ("" when absent or not text).
std::string ElementText(const PlistValue& message, size_t i);

// ["SDMessageProcessChanges", class, <records_xml>, more, {}]: `records_xml` is a <dict>.
std::string BatchXml(const std::string& data_class, const std::string& records_xml, bool more);

// An XML property list decoded the way the agent decodes replies (its top value).
PlistValue DecodeXml(const std::string& xml);
