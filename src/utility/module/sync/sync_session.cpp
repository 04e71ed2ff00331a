#include "utility/module/sync/sync_session.h"

#include "common/binary_plist.h"
#include "common/plist_message.h"
#include "common/plist_reader.h"
#include "utility/module/sync/plist_xml_writer.h"
#include "utility/module/sync/sync_anchor.h"

namespace {

// Decodes each reply once and hands the message to the collector.
void CollectorTrampoline(void* context, const char* bytes, uint32_t length, int* read_another,
                         uint32_t* result) {
  auto* collector = static_cast<SyncCollector*>(context);
  PlistValue decoded;
  const PlistValue* message = nullptr;
  if (PlistBytesToValue(bytes, length, &decoded) && decoded.tag() == kPlistArray &&
      !decoded.array().empty()) {
    message = &decoded.array()[0];
  }
  collector->OnReply(message, read_another, result);
}

std::string VersionAnswerXml() {
  return PlistXmlWriter()
      .BeginArray()
      .String("DLMessageVersionExchange")
      .String("DLVersionsOk")
      .Integer(100)
      .EndArray()
      .Finish();
}

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

SyncSession::SyncSession(AMDServiceConnectionRef connection, const SyncDataClass& data_class)
    : connection_(connection), data_class_(data_class) {}

void SyncSession::Open(bool wait_for_computer) {
  // The version offer is consumed whole, whatever its length; its content is not needed.
  ReadOneReply offer;
  ReceivePlistMessages(connection_, CollectorTrampoline, &offer);
  WaitForMessageName ready(kMsgDeviceReady);
  Exchange(VersionAnswerXml(), ready);
  if (wait_for_computer) {
    WaitForMessageName computer(kMsgSyncWithComputer);
    Exchange(OpenClassXml(data_class_), computer);
  } else {
    ReadOneReply one;
    Exchange(OpenClassXml(data_class_), one);
  }
}

bool SyncSession::Exchange(std::string_view xml, SyncCollector& collector, uint32_t* result) {
  BinaryPlistPtr message = XmlToBinaryPlist(xml.data(), xml.size());
  if (!message) return false;
  const uint32_t value =
      ExchangePlistMessages(connection_, message.get(), CollectorTrampoline, &collector);
  if (result != nullptr) *result = value;
  return true;
}

bool SyncSession::Send(std::string_view xml) {
  BinaryPlistPtr message = XmlToBinaryPlist(xml.data(), xml.size());
  if (!message) return false;
  SendPlistMessage(connection_, message.get());
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
  ExchangeClassMessage("SDMessageFinishSessionOnDevice", kMsgFinishedSession);
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
