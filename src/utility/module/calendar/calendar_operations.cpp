#include "utility/module/calendar/calendar_operations.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/text_convert.h"
#include "utility/module/sync/identifier_replace.h"
#include "utility/module/sync/push_text.h"
#include "utility/module/vado_module.h"

namespace {

constexpr int32_t kRemapFirst = 2;
constexpr int32_t kDeleteAnswer = 6;

}  // namespace

void CalendarSyncContext::OnReply(const PlistValue* message, int*, uint32_t* result) {
  if (message == nullptr || message->tag() != kPlistArray) return;
  if (mode == 0 || mode == 1) {
    set.AddReply(*message);
    if (mode == 1 && MessageHasText(*message, kMsgProcessChanges)) *result = 1;
    return;
  }
  if (mode < kRemapFirst || mode >= kRemapFirst + static_cast<int32_t>(remaps.size())) return;
  if (MessageHasText(*message, "SDMessageRemapRecordIdentifiers")) remap_answered = true;
  auto& table = remaps[static_cast<size_t>(mode - kRemapFirst)];
  for (const PlistValue& element : message->array()) {
    const CIOSDictionary* map = element.dictionary();
    if (map == nullptr) continue;
    for (const auto& [from, to] : map->items()) {
      if (to.tag() == kPlistText) table[from] = Utf16ToUtf8(to.text());
    }
  }
}

void ReadCalendars(SyncSession& session, CalendarSyncContext& context) {
  session.Open(false);
  session.PullAllRecords(context, true);
}

std::vector<SyncDataMessage> CalendarReadMessages(const CalendarSet& set, bool kept_elsewhere) {
  const size_t size = set.calendars().size();
  const int64_t count = (size == 0 && kept_elsewhere) ? -1 : static_cast<int64_t>(size);
  const std::string info = CountInfo(count);
  std::vector<SyncDataMessage> out{SyncDataMessage{0, 0, info, {}}};
  for (size_t begin = 0; begin < size; begin += kCalendarsPerMessage) {
    out.push_back(SyncDataMessage{0, 1, info, set.CalendarsJson(begin, begin + kCalendarsPerMessage)});
  }
  return out;
}

std::optional<CalendarPushPayload> ParseCalendarPushPayload(const rapidjson::Value& body) {
  CalendarPushPayload payload;
  for (size_t i = 0; i < kCalendarRemapEntities.size(); ++i) {
    bool present = false;
    payload.texts[i] = PushTextMember(body, kCalendarRemapEntities[i], &present);
    if (present && !payload.texts[i]) return std::nullopt;
  }
  if (!payload.texts[0]) return std::nullopt;
  return payload;
}

int64_t AddOrEditCalendar(SyncSession& session, const CalendarPushPayload& payload,
                          CalendarSyncContext& context) {
  session.Open(true);
  session.BeginPush(OneAcknowledgePush(kCalendarPingText));
  context.mode = kRemapFirst;
  if (!session.Exchange(*payload.texts[0], context)) return kResultBadBody;
  if (session.stopped()) return session.Outcome(false);
  RemapTable& calendars = context.remaps[0];
  if (calendars.empty() && context.remap_answered) {
    // An edit: the device kept the calendar under the identifier it already had.
    for (const std::string& id : PushedRecordIds(*payload.texts[0])) calendars[id] = id;
  }
  if (calendars.empty()) return kCalendarNotAssigned;
  for (size_t i = 1; i < kCalendarRemapEntities.size(); ++i) {
    if (!payload.texts[i]) continue;
    // Events name their calendar; alarms and recurrences name their events.
    const std::string text =
        i == 1 ? ReplaceIdentifier(*payload.texts[i], calendars.begin()->first,
                                   calendars.begin()->second)
               : ReplaceIdentifiers(*payload.texts[i], context.remaps[1]);
    context.mode = kRemapFirst + static_cast<int32_t>(i);
    if (!session.Exchange(text, context)) return kResultBadBody;
  }
  session.FinishPush();
  return session.Outcome(true);
}

std::string CalendarRemapReplyJson(const CalendarSyncContext& context) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  for (size_t i = 0; i < kCalendarRemapEntities.size(); ++i) {
    if (i != 0 && context.remaps[i].empty()) continue;
    writer.Key(kCalendarRemapEntities[i]);
    writer.StartObject();
    for (const auto& [from, to] : context.remaps[i]) {
      writer.String(from.data(), static_cast<rapidjson::SizeType>(from.size()));
      writer.String(to.data(), static_cast<rapidjson::SizeType>(to.size()));
    }
    writer.EndObject();
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

int64_t DeleteCalendarRecord(SyncSession& session, const std::string& record_id,
                             CalendarSyncContext& context) {
  const std::string push = DeleteRecordXml(session.data_class(), record_id);
  if (!IsPushableText(push)) return kResultBadBody;
  session.Open(true);
  session.BeginPush(OneAcknowledgePush(kCalendarPingText));
  context.mode = kDeleteAnswer;
  session.Exchange(push, context);
  session.FinishPush();
  return session.Outcome(true);
}
