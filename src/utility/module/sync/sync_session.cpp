#include "utility/module/sync/sync_session.h"

#include "common/binary_plist.h"
#include "common/plist_message.h"
#include "common/plist_reader.h"
#include "utility/devicelink/devicelink_handshake.h"
#include "utility/module/sync/plist_xml_writer.h"
#include "utility/module/sync/sync_anchor.h"
#include "utility/module/vado_module.h"

// One exchange: the session, the collector, and what the receive loop saw.
struct SyncExchangeState {
  SyncSession* session;
  SyncCollector* collector;
  int replies = 0;
  bool wanted_more = false;  // the last reply handled asked for another

  // Decodes each reply once and hands the message to the collector.
  static void OnReply(void* context, const char* bytes, uint32_t length, int* read_another,
                      uint32_t* result) {
    auto* state = static_cast<SyncExchangeState*>(context);
    ++state->replies;
    PlistValue decoded;
    const PlistValue* message = nullptr;
    if (PlistBytesToValue(bytes, length, &decoded) && decoded.tag() == kPlistArray &&
        !decoded.array().empty()) {
      message = &decoded.array()[0];
    }
    if (message != nullptr && MessageHasText(*message, "SDMessageCancelSession", true)) {
      // The device gave up the session; nothing more it sends counts.
      state->session->broken_ = true;
      *read_another = 0;
      state->wanted_more = false;
      return;
    }
    state->collector->OnReply(message, read_another, result);
    state->wanted_more = *read_another != 0;
    if (state->wanted_more && state->session->CheckCancelled()) *read_another = 0;
  }
};

namespace {

std::string OpenClassXml(const SyncDataClass& data_class) {
  return PlistXmlWriter()
      .BeginArray()
      .String("SDMessageSyncDataClassWithDevice")
      .String(data_class.name)
      .String(data_class.anchor_name)
      .String(CurrentSyncAnchor())
      .Integer(data_class.version)
      .String(kEmptyParameter)
      .EndArray()
      .Finish();
}

}  // namespace

PushShape OneAcknowledgePush(const char* ping_text) {
  return PushShape{true, {kMsgReadyToReceive}, ping_text};
}
PushShape TwoAcknowledgePush() {
  return PushShape{true, {kMsgProcessChanges, kMsgReadyToReceive}, nullptr};
}
PushShape ContactEditPush() { return PushShape{true, {kMsgProcessChanges}, nullptr}; }
PushShape NotePush() { return PushShape{false, {nullptr}, nullptr}; }

SyncSession::SyncSession(AMDServiceConnectionRef connection, const SyncDataClass& data_class,
                         DhTask* task)
    : connection_(connection), data_class_(data_class), task_(task) {
  if (task_ != nullptr) cancel_hook_.emplace(*task_, connection_);
}

void SyncSession::EndedEarly() {
  if (!CheckCancelled()) broken_ = true;
}

bool SyncSession::CheckCancelled() {
  if (!cancelled_ && task_ != nullptr && IsCancelled(*task_)) cancelled_ = true;
  return cancelled_;
}

int64_t SyncSession::Outcome(bool require_finish) const {
  if (cancelled_) return kResultCancelled;
  if (broken_ || (require_finish && !finished_)) return kResultSyncBrokenOff;
  return kResultOk;
}

void SyncSession::Open(bool wait_for_computer) {
  if (CheckCancelled()) return;
  if (!DeviceLinkHandshake(connection_, kSyncDeviceLinkVersion)) {
    EndedEarly();
    return;
  }
  if (wait_for_computer) {
    WaitForMessageName computer(kMsgSyncWithComputer);
    Exchange(OpenClassXml(data_class_), computer);
  } else {
    ReadOneReply one;
    Exchange(OpenClassXml(data_class_), one);
  }
}

bool SyncSession::Exchange(std::string_view xml, SyncCollector& collector, uint32_t* result) {
  if (result != nullptr) *result = 0;
  BinaryPlistPtr message = XmlToBinaryPlist(xml.data(), xml.size());
  if (!message) return false;
  if (broken_ || CheckCancelled()) return true;
  SyncExchangeState state{this, &collector};
  const uint32_t value =
      ExchangePlistMessages(connection_, message.get(), SyncExchangeState::OnReply, &state);
  // The loop ended without the collector's consent: the connection is gone.
  if (state.replies == 0 || state.wanted_more) EndedEarly();
  if (stopped()) return true;
  if (result != nullptr) *result = value;
  return true;
}

bool SyncSession::Send(std::string_view xml) {
  BinaryPlistPtr message = XmlToBinaryPlist(xml.data(), xml.size());
  if (!message) return false;
  if (broken_ || CheckCancelled()) return true;
  if (!SendPlistMessage(connection_, message.get())) EndedEarly();
  return true;
}

void SyncSession::ExchangeClassMessage(const char* name, SyncCollector& collector) {
  Exchange(SyncMessageXml(name, data_class_.name), collector);
}

void SyncSession::ExchangeClassMessage(const char* name, const char* wait_name) {
  if (wait_name == nullptr) {
    ReadOneReply one;
    ExchangeClassMessage(name, one);
  } else {
    WaitForMessageName wait(wait_name);
    ExchangeClassMessage(name, wait);
  }
}

void SyncSession::PullAllRecords(SyncCollector& collector, bool every_batch) {
  collector.mode = 0;
  ExchangeClassMessage("SDMessageGetAllRecordsFromDevice", collector);
  if (every_batch) {
    uint32_t more = 0;
    do {
      collector.mode = 1;
      more = 0;
      Exchange(SyncMessageXml("SDMessageAcknowledgeChangesFromDevice", data_class_.name),
               collector, &more);
    } while (more != 0);
  } else {
    ExchangeClassMessage("SDMessageAcknowledgeChangesFromDevice", nullptr);
  }
  ExchangeClassMessage("SDMessageFinishSessionOnDevice", nullptr);
}

void SyncSession::BeginPush(const PushShape& shape) {
  ExchangeClassMessage("SDMessageGetChangesFromDevice",
                       shape.changes_wait_for_batch ? kMsgProcessChanges : nullptr);
  for (const char* wait : shape.acknowledge_waits) {
    ExchangeClassMessage("SDMessageAcknowledgeChangesFromDevice", wait);
  }
  Send(SyncMessageXml("DLMessagePing",
                      shape.ping_text != nullptr ? shape.ping_text : data_class_.name));
}

void SyncSession::FinishPush() {
  WaitForMessageName wait(kMsgFinishedSession);
  ExchangeClassMessage("SDMessageFinishSessionOnDevice", wait);
  finished_ = !stopped() && wait.found();
}

std::string DeleteRecordXml(const SyncDataClass& data_class, std::string_view record_id) {
  return PlistXmlWriter()
      .BeginArray()
      .String(kMsgProcessChanges)
      .String(data_class.name)
      .BeginDict()
      .Key(record_id)
      .String(kEmptyParameter)
      .EndDict()
      .EndArray()
      .Finish();
}
