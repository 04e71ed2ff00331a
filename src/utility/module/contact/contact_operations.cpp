#include "utility/module/contact/contact_operations.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "utility/module/sync/identifier_replace.h"
#include "utility/module/sync/plist_xml_writer.h"
#include "utility/module/sync/push_text.h"
#include "utility/module/vado_module.h"

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void WriteString(JsonWriter& writer, const std::string& text) {
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void WriteTable(JsonWriter& writer, const char* name, const RemapTable& table) {
  writer.Key(name);
  writer.StartObject();
  for (const auto& [from, to] : table) {
    WriteString(writer, from);
    WriteString(writer, to);
  }
  writer.EndObject();
}

// Count message, then the records in slices of kContactsPerMessage.
template <typename Json>
void AppendBatches(std::vector<SyncDataMessage>& out, uint32_t command, int64_t count,
                   size_t size, Json&& json) {
  const std::string info = CountInfo(count);
  out.push_back(SyncDataMessage{command, 0, info, {}});
  for (size_t begin = 0; begin < size; begin += kContactsPerMessage) {
    out.push_back(SyncDataMessage{command, 1, info, json(begin, begin + kContactsPerMessage)});
  }
}

}  // namespace

void ReadContacts(SyncSession& session, ContactSyncContext& context) {
  session.Open(false);
  session.PullAllRecords(context, true);
}

std::vector<SyncDataMessage> ContactReadMessages(const ContactBook& book, bool kept_elsewhere) {
  std::vector<SyncDataMessage> out;
  const size_t groups = book.groups().size();
  AppendBatches(out, kContactGroupList, static_cast<int64_t>(groups), groups,
                [&](size_t b, size_t e) { return book.GroupsJson(b, e); });
  const size_t contacts = book.contacts().size();
  const int64_t count = (contacts == 0 && kept_elsewhere) ? -1 : static_cast<int64_t>(contacts);
  AppendBatches(out, kContactRead, count, contacts,
                [&](size_t b, size_t e) { return book.ContactsJson(b, e); });
  return out;
}

std::optional<ContactPushPayload> ParseContactPushPayload(const rapidjson::Value& body) {
  ContactPushPayload payload;
  for (size_t i = 0; i < kContactRemapEntities.size(); ++i) {
    bool present = false;
    payload.texts[i] = PushTextMember(body, kContactRemapEntities[i], &present);
    if (present && !payload.texts[i]) return std::nullopt;
  }
  if (!payload.texts[0]) return std::nullopt;
  return payload;
}

int64_t AddOrEditContact(SyncSession& session, const ContactPushPayload& payload,
                         ContactSyncContext& context) {
  session.Open(false);
  session.BeginPush(ContactEditPush());
  context.mode = kContactRemapFirst;
  if (!session.Exchange(*payload.texts[0], context)) return kResultBadBody;
  if (session.stopped()) return session.Outcome(false);
  RemapTable& contacts = context.remaps[0];
  if (contacts.empty() && context.remap_answered) {
    // An edit: the device kept the contact under the identifier it already had.
    for (const std::string& id : PushedRecordIds(*payload.texts[0])) contacts[id] = id;
  }
  if (contacts.empty()) return kContactNotAssigned;
  const auto [old_id, device_id] = *contacts.begin();
  for (size_t i = 1; i < kContactRemapEntities.size(); ++i) {
    if (!payload.texts[i]) continue;
    context.mode = kContactRemapFirst + static_cast<int32_t>(i);
    if (!session.Exchange(ReplaceIdentifier(*payload.texts[i], old_id, device_id), context)) {
      return kResultBadBody;
    }
  }
  session.FinishPush();
  return session.Outcome(true);
}

std::string ContactRemapReplyJson(const ContactSyncContext& context) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  for (size_t i = 0; i < kContactRemapEntities.size(); ++i) {
    if (i == 0 || !context.remaps[i].empty()) {
      WriteTable(writer, kContactRemapEntities[i], context.remaps[i]);
    }
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

int64_t DeleteContactRecord(SyncSession& session, const std::string& record_id,
                            ContactSyncContext& context) {
  const std::string push = DeleteRecordXml(session.data_class(), record_id);
  if (!IsPushableText(push)) return kResultBadBody;
  session.Open(true);
  session.BeginPush(TwoAcknowledgePush());
  context.mode = kContactDeleteAnswer;
  session.Exchange(push, context);
  session.FinishPush();
  return session.Outcome(true);
}

std::string GroupPushXml(const GroupWrite& write) {
  PlistXmlWriter xml;
  xml.BeginArray()
      .String(kMsgProcessChanges)
      .String(kContactsClass.name)
      .BeginDict()
      .Key("Group/" + write.record_id)
      .BeginDict()
      .Key(kRecordEntityNameKey)
      .String(kGroupEntity)
      .Key("name")
      .String(write.name);
  if (write.members) {
    xml.Key("members").BeginArray();
    for (const std::string& member : *write.members) xml.String(member);
    xml.EndArray();
  }
  xml.EndDict()
      .EndDict()
      .Bool(true)
      .BeginDict()
      .Key("SyncDeviceLinkEntityNamesKey")
      .BeginArray()
      .String(kContactEntity)
      .String(kGroupEntity)
      .EndArray()
      .Key("SyncDeviceLinkAllRecordsOfPulledEntityTypeSentKey")
      .Bool(true)
      .EndDict()
      .EndArray();
  return xml.Finish();
}

int64_t WriteGroup(SyncSession& session, const GroupWrite& write, ContactSyncContext& context) {
  const std::string push = GroupPushXml(write);
  if (!IsPushableText(push)) return kResultBadBody;
  session.Open(true);
  session.BeginPush(TwoAcknowledgePush());
  context.group_key = "Group/" + write.lookup_id;
  context.mode = kContactGroupAnswer;
  session.Exchange(push, context);
  if (context.group_result.empty() && context.remap_answered && write.members &&
      write.lookup_id == write.record_id) {
    // Setting members of a group that exists: it keeps its identifier. A created group
    // (no member list) must be named in the answer.
    context.group_result = context.group_key;
  }
  session.FinishPush();
  if (const int64_t outcome = session.Outcome(true); outcome != kResultOk) return outcome;
  return context.group_result.empty() ? int64_t{kContactGroupNotAssigned} : int64_t{kResultOk};
}

std::string GroupReplyJson(const std::string& reply_key, const std::string& device_id,
                           const std::string& name) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  WriteString(writer, reply_key);
  writer.StartArray();
  WriteString(writer, device_id);
  WriteString(writer, name);
  writer.EndArray();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}
