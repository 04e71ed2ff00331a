#include "utility/module/calendar/vado_module_calendar.h"

#include "utility/module/calendar/calendar_operations.h"
#include "utility/module/sync/data_sync_check.h"

int64_t VadoModuleCalendar::Run(const SyncRequest& request) {
  switch (request.packet.command_id) {
    case 1500: return Read(request);
    case 1501: return AddOrEdit(request);
    case 1502: return Delete(request);
    default: return kResultOk;
  }
}

int64_t VadoModuleCalendar::Read(const SyncRequest& request) {
  CalendarSyncContext context;
  ReadSteps steps;
  steps.pull = [&](SyncSession& session) { ReadCalendars(session, context); };
  steps.empty = [&] { return context.set.calendars().empty(); };
  steps.messages = [&](bool kept_elsewhere) { return CalendarReadMessages(context.set, kept_elsewhere); };
  return ReadAll(request, kCalendarsClass, steps);
}

int64_t VadoModuleCalendar::AddOrEdit(const SyncRequest& request) {
  std::optional<rapidjson::Document> body = ParseBodyObject(request.header);
  if (!body) return kResultBadBody;
  std::optional<CalendarPushPayload> payload = ParseCalendarPushPayload(*body);
  if (!payload) return kResultBadBody;
  ServicePtr service = StartSyncService(request);
  if (!service) return kResultNoSyncService;
  CalendarSyncContext context;
  SyncSession session(service->connection(), kCalendarsClass, request.task);
  const int64_t code = AddOrEditCalendar(session, *payload, context);
  service.reset();
  if (code != kResultOk) return code;
  Send(request, {SyncDataMessage{0, 0, {}, CalendarRemapReplyJson(context)}});
  return kResultOk;
}

int64_t VadoModuleCalendar::Delete(const SyncRequest& request) {
  std::optional<rapidjson::Document> body = ParseBodyObject(request.header);
  if (!body) return kResultBadBody;
  std::optional<std::string> id = StringMember(*body, "id");
  if (!id) return kResultBadBody;
  ServicePtr service = StartSyncService(request);
  if (!service) return kResultNoSyncService;
  CalendarSyncContext context;
  SyncSession session(service->connection(), kCalendarsClass, request.task);
  return DeleteCalendarRecord(session, *id, context);
}
