#include "utility/module/contact/vado_module_contact.h"

#include <glog/logging.h>

#include "utility/module/contact/contact_operations.h"
#include "utility/module/sync/data_sync_check.h"

int64_t VadoModuleContact::Run(const SyncRequest& request) {
  switch (request.packet.command_id) {
    case kContactRead: return Read(request);
    case kContactAddOrEdit: return AddOrEdit(request);
    case kContactDelete:
    case kContactDeleteAlias: return Delete(request);
    case kContactGroupCreate: return Group(request, false);
    case kContactGroupSet: return Group(request, true);
    default: return kResultOk;
  }
}

int64_t VadoModuleContact::Read(const SyncRequest& request) {
  ContactSyncContext context;
  ReadSteps steps;
  steps.started = [](const ServicePtr& service) {
    LOG(INFO) << "Contact querylist pInstallServer: " << service->connection();
  };
  steps.pull = [&](SyncSession& session) { ReadContacts(session, context); };
  steps.empty = [&] { return context.book.contacts().empty(); };
  steps.messages = [&](bool kept_elsewhere) { return ContactReadMessages(context.book, kept_elsewhere); };
  return ReadAll(request, kContactsClass, steps);
}

int64_t VadoModuleContact::AddOrEdit(const SyncRequest& request) {
  std::optional<rapidjson::Document> body = ParseBodyObject(request.header);
  if (!body) return kResultBadBody;
  std::optional<ContactPushPayload> payload = ParseContactPushPayload(*body);
  if (!payload) return kResultBadBody;
  ServicePtr service = StartSyncService(request);
  if (!service) return kResultNoSyncService;
  ContactSyncContext context;
  SyncSession session(service->connection(), kContactsClass, request.task);
  const int64_t code = AddOrEditContact(session, *payload, context);
  service.reset();
  if (code != kResultOk) return code;
  Send(request, {SyncDataMessage{0, 0, {}, ContactRemapReplyJson(context)}});
  return kResultOk;
}

int64_t VadoModuleContact::Delete(const SyncRequest& request) {
  std::optional<rapidjson::Document> body = ParseBodyObject(request.header);
  if (!body) return kResultBadBody;
  std::optional<std::string> id = StringMember(*body, "id");
  if (!id) return kResultBadBody;
  ServicePtr service = StartSyncService(request);
  if (!service) return kResultNoSyncService;
  ContactSyncContext context;
  SyncSession session(service->connection(), kContactsClass, request.task);
  return DeleteContactRecord(session, *id, context);
}

int64_t VadoModuleContact::Group(const SyncRequest& request, bool set_members) {
  std::optional<rapidjson::Document> body = ParseBodyObject(request.header);
  if (!body) return kResultBadBody;
  GroupWrite write;
  std::optional<std::string> id = StringMember(*body, "id");
  std::optional<std::string> guid = set_members ? StringMember(*body, "guid") : id;
  if (!id || !guid) return kResultBadBody;
  write.record_id = *id;
  write.lookup_id = *guid;
  write.name = StringMember(*body, "name").value_or("");
  if (set_members) {
    write.members.emplace();
    auto members = body->FindMember("members");
    if (members != body->MemberEnd() && members->value.IsArray()) {
      for (const auto& member : members->value.GetArray()) {
        if (member.IsString()) write.members->emplace_back(member.GetString(), member.GetStringLength());
      }
    }
  }
  ServicePtr service = StartSyncService(request);
  if (!service) return kResultNoSyncService;
  ContactSyncContext context;
  SyncSession session(service->connection(), kContactsClass, request.task);
  const int64_t code = WriteGroup(session, write, context);
  service.reset();
  if (code != kResultOk) return code;
  Send(request, {SyncDataMessage{0, 0, {}, GroupReplyJson(*guid, context.group_result, write.name)}});
  return kResultOk;
}
