// Calendars of one read, rebuilt from the device's flat records into a tree: calendar →
// events → recurrence and alarms. A record is linked only to parents parsed before it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/plist_value.h"

struct RecurrenceRecord {
  std::string id;
  std::string frequency;
  int64_t interval = 0;
  std::string until;         // local time
  std::string until_source;  // as the device wrote it
  std::string entity;
  std::vector<std::string> owners;
};

struct AlarmRecord {
  std::string id;
  int64_t trigger_duration = 0;
  std::string description;
  std::string entity;
  std::vector<std::string> owners;
};

struct EventRecord {
  std::string id;
  std::string start_date, start_date_source;
  std::string end_date, end_date_source;
  std::string url;
  int32_t all_day = 0;
  std::string start_date_timezone;
  std::string entity;
  std::string summary;
  std::string description;
  std::string location;
  std::vector<std::string> calendars;
  std::shared_ptr<RecurrenceRecord> recurrence;
  std::vector<std::shared_ptr<AlarmRecord>> alarms;
};

struct CalendarRecord {
  std::string id;
  std::string title;
  int32_t color[4] = {0, 0, 0, 0};
  std::string entity;
  int32_t read_only = 0;
  std::vector<std::shared_ptr<EventRecord>> events;
};

class CalendarSet {
 public:
  // Takes every calendar, event, recurrence and alarm record of one reply.
  void AddReply(const PlistValue& message);

  const std::map<std::string, std::shared_ptr<CalendarRecord>>& calendars() const {
    return calendars_;
  }
  // [{calendar}, ...] for the calendars at positions [begin, end) in identifier order.
  std::string CalendarsJson(size_t begin, size_t end) const;

 private:
  std::map<std::string, std::shared_ptr<CalendarRecord>> calendars_;
  std::map<std::string, std::shared_ptr<EventRecord>> events_;
  std::map<std::string, std::shared_ptr<RecurrenceRecord>> recurrences_;
  std::map<std::string, std::shared_ptr<AlarmRecord>> alarms_;
};
