// One conversation with the device's mobile sync service: the opening (version exchange
// and data class), pulling every record, pushing changes and finishing. The session
// works on a started service connection; the caller owns the connection and releases it
// when the operation ends.
//
// A reply that cannot be decoded ends only the current exchange. A conversation that
// breaks off (the connection ends while a reply is awaited, or the device sends
// "SDMessageCancelSession") or whose task is cancelled stops: later steps send nothing,
// and Outcome() tells the operation to answer a failure instead of a partial result.
// The task is checked before every message sent and after every reply received; while
// the session lives, cancelling the task also invalidates the connection, so a reply the
// device is slow to send does not hold the cancel back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/dh_task.h"
#include "iOSAPI/mobile_device_api.h"
#include "utility/module/connection_cancel_hook.h"
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

// The conversation broke off before its end (connection lost, device cancelled).
inline constexpr int64_t kResultSyncBrokenOff = 13;

class SyncSession {
 public:
  // `task` (may be null) is the request's task; a cancelled task stops the conversation.
  SyncSession(AMDServiceConnectionRef connection, const SyncDataClass& data_class,
              DhTask* task = nullptr);

  const SyncDataClass& data_class() const { return data_class_; }
  AMDServiceConnectionRef connection() const { return connection_; }

  // Consumes the device's version offer, answers it, waits for the device to be ready
  // and opens the data class, waiting for the computer answer or reading one reply.
  void Open(bool wait_for_computer);

  // Encodes `xml` and exchanges it with `collector`; returns false, sending nothing, when
  // the text is not a property list. `result` receives the collector's result. Once the
  // conversation has stopped nothing is sent and the result is 0.
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

  // True once the conversation broke off or the task was cancelled.
  bool stopped() const { return cancelled_ || broken_; }
  // 0 while the conversation went as it should; kResultCancelled for a cancelled task;
  // kResultSyncBrokenOff when it broke off, or (`require_finish`, for pushes) when the
  // device never confirmed the end of the session.
  int64_t Outcome(bool require_finish) const;

 private:
  friend struct SyncExchangeState;
  bool CheckCancelled();
  // An exchange that ended early: a cancelled task stops the session, anything else
  // breaks it off.
  void EndedEarly();
  void ExchangeClassMessage(const char* name, SyncCollector& collector);
  void ExchangeClassMessage(const char* name, const char* wait_name);

  AMDServiceConnectionRef connection_;
  SyncDataClass data_class_;
  DhTask* task_;
  bool cancelled_ = false;
  bool broken_ = false;
  bool finished_ = false;  // the device answered finish with "SDMessageDeviceFinishedSession"
  std::optional<ConnectionCancelHook> cancel_hook_;
};

// The deletion push: [process changes, class, {id: empty parameter}].
std::string DeleteRecordXml(const SyncDataClass& data_class, std::string_view record_id);
