// One conversation with the device's mobile sync service: the opening (version exchange
// and data class), pulling every record, pushing changes and finishing. The session
// works on a started service connection; the caller owns the connection and releases it
// when the operation ends.
//
// A step whose exchange ends early (bad length, closed connection, undecodable reply)
// does not end the conversation: the next message is still sent, so a dead connection
// makes every later step end at once and the operation reports what it has.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "iOSAPI/mobile_device_api.h"
#include "utility/module/sync/sync_collector.h"
#include "utility/module/sync/sync_data_class.h"

// How the device's pending changes are consumed before a push.
struct PushShape {
  // Step 1, the reply to "get changes": wait for a change batch, or read one reply.
  bool changes_wait_for_batch = true;
  // One acknowledge per entry: the message name waited for, or null to read one reply.
  std::vector<const char*> acknowledge_waits;
  // The ping's argument; null sends the data-class name.
  const char* ping_text = nullptr;
};

// Calendar and bookmark pushes: one acknowledge, then the device is ready.
PushShape OneAcknowledgePush(const char* ping_text = nullptr);
// Contact deletion and groups: two change batches are acknowledged.
PushShape TwoAcknowledgePush();
// Contact add or edit: one acknowledge answered by the second change batch.
PushShape ContactEditPush();
// Note add: every reply is read and ignored.
PushShape NotePush();

class SyncSession {
 public:
  SyncSession(AMDServiceConnectionRef connection, const SyncDataClass& data_class);

  const SyncDataClass& data_class() const { return data_class_; }
  AMDServiceConnectionRef connection() const { return connection_; }

  // Consumes the device's version offer, answers it, waits for the device to be ready
  // and opens the data class, waiting for the computer answer or reading one reply.
  void Open(bool wait_for_computer);

  // Encodes `xml` and exchanges it with `collector`; returns false, sending nothing, when
  // the text is not a property list. `result` receives the collector's result.
  bool Exchange(std::string_view xml, SyncCollector& collector, uint32_t* result = nullptr);
  // Sends without waiting for a reply; false when the text is not a property list.
  bool Send(std::string_view xml);

  // "get all records", then the acknowledgements, then finish (reading one reply). With
  // `every_batch`, acknowledgements repeat while the collector (mode 1) returns nonzero
  // and every batch is collected; otherwise only the first batch is.
  void PullAllRecords(SyncCollector& collector, bool every_batch);

  // "get changes", the acknowledgements of `shape` and the ping: the device is then
  // ready for the module's pushes.
  void BeginPush(const PushShape& shape);
  // Finish, waiting until the device has finished the session.
  void FinishPush();

 private:
  void ExchangeClassMessage(const char* name, SyncCollector& collector);
  void ExchangeClassMessage(const char* name, const char* wait_name);

  AMDServiceConnectionRef connection_;
  SyncDataClass data_class_;
};

// The deletion push: [process changes, class, {id: empty parameter}].
std::string DeleteRecordXml(const SyncDataClass& data_class, std::string_view record_id);
