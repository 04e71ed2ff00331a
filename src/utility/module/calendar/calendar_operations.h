// The calendar conversations on a started service connection: read everything, push a
// calendar with its events, alarms and recurrences (threading the device's identifiers),
// and delete a record.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "utility/module/calendar/calendar_records.h"
#include "utility/module/sync/identifier_replace.h"
#include "utility/module/sync/sync_collector.h"
#include "utility/module/sync/sync_output.h"
#include "utility/module/sync/sync_session.h"

inline constexpr int64_t kCalendarNotAssigned = 29;
inline constexpr size_t kCalendarsPerMessage = 20;
inline constexpr const char* kCalendarPingText = "Preparing to get changes for device";

// Pushed entities in push order; collector mode of entity i is 2 + i.
inline constexpr std::array<const char*, 4> kCalendarRemapEntities = {
    "com.apple.calendars.Calendar", "com.apple.calendars.Event",
    "com.apple.calendars.DisplayAlarm", "com.apple.calendars.Recurrence"};

// Modes: 0, 1 records of a read (1 returns 1 for a change batch); 2..5 remap of one
// entity; 6 read and ignore.
class CalendarSyncContext : public SyncCollector {
 public:
  void OnReply(const PlistValue* message, int* read_another, uint32_t* result) override;

  CalendarSet set;
  std::array<RemapTable, kCalendarRemapEntities.size()> remaps;
  // Whether the device answered a push with an identifier remapping (an answer that maps
  // nothing means it kept the pushed identifiers: the records already existed).
  bool remap_answered = false;
};

void ReadCalendars(SyncSession& session, CalendarSyncContext& context);
std::vector<SyncDataMessage> CalendarReadMessages(const CalendarSet& set, bool kept_elsewhere);

struct CalendarPushPayload {
  std::array<std::optional<std::string>, kCalendarRemapEntities.size()> texts;
};
// Nothing when the calendar's text is missing or any present text is not a property list.
std::optional<CalendarPushPayload> ParseCalendarPushPayload(const rapidjson::Value& body);

// Pushes the calendar, then its events, alarms and recurrences with the device's
// identifiers threaded through, and finishes. A remapping that maps nothing means the
// calendar already existed (an edit): it keeps its identifier. 0, kCalendarNotAssigned
// (no remapping came back; finish not sent), kResultBadBody, or the session's failure.
int64_t AddOrEditCalendar(SyncSession& session, const CalendarPushPayload& payload,
                          CalendarSyncContext& context);
std::string CalendarRemapReplyJson(const CalendarSyncContext& context);

// 0, or kResultBadBody when the identifier cannot be written into a message.
int64_t DeleteCalendarRecord(SyncSession& session, const std::string& record_id,
                             CalendarSyncContext& context);
