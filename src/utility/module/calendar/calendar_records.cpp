#include "utility/module/calendar/calendar_records.h"

#include <iterator>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "utility/module/sync/sync_date.h"
#include "utility/module/sync/sync_record_fields.h"

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

std::string Text(const CIOSDictionary& record, const char* key) {
  return TextField(record, key).value_or("");
}

int32_t Int32(const CIOSDictionary& record, const char* key) {
  return static_cast<int32_t>(IntegerField(record, key).value_or(0));
}

std::shared_ptr<CalendarRecord> MakeCalendar(const std::string& id, const std::string& entity,
                                             const CIOSDictionary& record) {
  auto calendar = std::make_shared<CalendarRecord>();
  calendar->id = id;
  calendar->entity = entity;
  calendar->title = Text(record, "title");
  calendar->read_only = Int32(record, "read only");
  if (const PlistValue* colors = record.Find("colorComponents"); colors && colors->tag() == kPlistArray) {
    for (size_t i = 0; i < 4 && i < colors->array().size(); ++i) {
      const PlistValue& c = colors->array()[i];
      if (c.tag() == kPlistInt64) calendar->color[i] = static_cast<int32_t>(c.int64());
      else if (c.tag() == kPlistInt32) calendar->color[i] = c.int32();
    }
  }
  return calendar;
}

std::shared_ptr<EventRecord> MakeEvent(const std::string& id, const std::string& entity,
                                       const CIOSDictionary& record) {
  auto event = std::make_shared<EventRecord>();
  event->id = id;
  event->entity = entity;
  event->start_date_source = Text(record, "start date");
  event->start_date = UtcDateTextToLocal(event->start_date_source);
  event->end_date_source = Text(record, "end date");
  event->end_date = UtcDateTextToLocal(event->end_date_source);
  event->url = Text(record, "url");
  event->all_day = Int32(record, "all day");
  event->start_date_timezone = Text(record, "start date.timezone");
  event->summary = Text(record, "summary");
  event->description = Text(record, "description");
  event->location = Text(record, "location");
  event->calendars = TextElements(record, "calendar");
  return event;
}

void Put(JsonWriter& writer, const char* key, const std::string& text) {
  writer.Key(key);
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void WriteEvent(JsonWriter& writer, const EventRecord& event) {
  writer.StartObject();
  Put(writer, "id", event.id);
  Put(writer, "start_date", event.start_date);
  Put(writer, "start_date_source", event.start_date_source);
  Put(writer, "end_date", event.end_date);
  Put(writer, "end_date_source", event.end_date_source);
  Put(writer, "url", event.url);
  writer.Key("all_day");
  writer.Int(event.all_day);
  Put(writer, "start_date_timezone", event.start_date_timezone);
  Put(writer, "com_apple_syncservices_RecordEntityName", event.entity);
  Put(writer, "summary", event.summary);
  Put(writer, "description", event.description);
  Put(writer, "location", event.location);
  if (event.recurrence) {
    const RecurrenceRecord& r = *event.recurrence;
    writer.Key("recurrence");
    writer.StartObject();
    Put(writer, "id", r.id);
    Put(writer, "frequency", r.frequency);
    Put(writer, "until", r.until);
    Put(writer, "until_source", r.until_source);
    writer.Key("interval");
    writer.Int64(r.interval);
    Put(writer, "com_apple_syncservices_RecordEntityName", r.entity);
    writer.EndObject();
  }
  writer.Key("display_alarms");
  writer.StartArray();
  for (const auto& alarm : event.alarms) {
    writer.StartObject();
    Put(writer, "id", alarm->id);
    Put(writer, "description", alarm->description);
    writer.Key("triggerduration");
    writer.Int64(alarm->trigger_duration);
    Put(writer, "com_apple_syncservices_RecordEntityName", alarm->entity);
    writer.EndObject();
  }
  writer.EndArray();
  writer.EndObject();
}

}  // namespace

void CalendarSet::AddReply(const PlistValue& message) {
  ForEachRecord(message, [this](const std::string& id, const std::string& entity,
                                const CIOSDictionary& record) {
    if (entity == "com.apple.calendars.Calendar") {
      calendars_[id] = MakeCalendar(id, entity, record);
    } else if (entity == "com.apple.calendars.Event") {
      auto event = MakeEvent(id, entity, record);
      events_[id] = event;
      for (const std::string& calendar : event->calendars) {
        auto found = calendars_.find(calendar);
        if (found != calendars_.end()) found->second->events.push_back(event);
      }
    } else if (entity == "com.apple.calendars.Recurrence") {
      auto recurrence = std::make_shared<RecurrenceRecord>();
      recurrence->id = id;
      recurrence->entity = entity;
      recurrence->frequency = Text(record, "frequency");
      recurrence->interval = IntegerField(record, "interval").value_or(0);
      recurrence->until_source = Text(record, "until");
      recurrence->until = UtcDateTextToLocal(recurrence->until_source);
      recurrence->owners = TextElements(record, "owner");
      recurrences_[id] = recurrence;
      for (const std::string& owner : recurrence->owners) {
        auto found = events_.find(owner);
        if (found != events_.end()) found->second->recurrence = recurrence;
      }
    } else if (entity == "com.apple.calendars.DisplayAlarm") {
      auto alarm = std::make_shared<AlarmRecord>();
      alarm->id = id;
      alarm->entity = entity;
      alarm->trigger_duration = IntegerField(record, "triggerduration").value_or(0);
      alarm->description = Text(record, "description");
      alarm->owners = TextElements(record, "owner");
      alarms_[id] = alarm;
      for (const std::string& owner : alarm->owners) {
        auto found = events_.find(owner);
        if (found != events_.end()) found->second->alarms.push_back(alarm);
      }
    }
  });
}

std::string CalendarSet::CalendarsJson(size_t begin, size_t end) const {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartArray();
  auto it = calendars_.begin();
  std::advance(it, std::min(begin, calendars_.size()));
  for (size_t i = begin; i < end && it != calendars_.end(); ++i, ++it) {
    const CalendarRecord& calendar = *it->second;
    writer.StartObject();
    Put(writer, "id", calendar.id);
    Put(writer, "title", calendar.title);
    Put(writer, "com_apple_syncservices_RecordEntityName", calendar.entity);
    writer.Key("read_only");
    writer.Int(calendar.read_only);
    writer.Key("colorComponents");
    writer.StartArray();
    for (int32_t c : calendar.color) writer.Int(c);
    writer.EndArray();
    writer.Key("events");
    writer.StartArray();
    for (const auto& event : calendar.events) WriteEvent(writer, *event);
    writer.EndArray();
    writer.EndObject();
  }
  writer.EndArray();
  return std::string(buffer.GetString(), buffer.GetSize());
}
