#include "record_builders.h"

#include <cctype>
#include <cstdio>
#include <set>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "utility/module/sync/plist_xml_writer.h"

namespace vadoctl {
namespace {

using Value = rapidjson::Value;

constexpr const char* kEntityKey = "com.apple.syncservices.RecordEntityName";

// A push message under construction: [process changes, class, {records...}].
class Push {
 public:
  explicit Push(const char* data_class) {
    xml_.BeginArray().String("SDMessageProcessChanges").String(data_class).BeginDict();
  }
  PlistXmlWriter& BeginRecord(const std::string& id, const std::string& entity) {
    ++records_;
    return xml_.Key(id).BeginDict().Key(kEntityKey).String(entity);
  }
  PlistXmlWriter& xml() { return xml_; }
  size_t records() const { return records_; }
  // Closes the records; `entities` go into the options dictionary.
  std::string Finish(const std::set<std::string>& entities, bool all_sent) {
    xml_.EndDict().Bool(false).BeginDict().Key("SyncDeviceLinkEntityNamesKey").BeginArray();
    for (const std::string& e : entities) xml_.String(e);
    xml_.EndArray().Key("SyncDeviceLinkAllRecordsOfPulledEntityTypeSentKey").Bool(all_sent);
    return xml_.EndDict().EndArray().Finish();
  }

 private:
  PlistXmlWriter xml_;
  size_t records_ = 0;
};

bool ParseObject(const std::string& text, rapidjson::Document* doc, std::string* error) {
  doc->Parse(text.c_str());
  if (doc->HasParseError() || !doc->IsObject()) {
    *error = "the description is not a JSON object";
    return false;
  }
  return true;
}

std::string Str(const Value& object, const char* key, const std::string& fallback = "") {
  if (!object.IsObject()) return fallback;
  auto it = object.FindMember(key);
  return (it != object.MemberEnd() && it->value.IsString()) ? it->value.GetString() : fallback;
}

bool IsDigits(const std::string& s, size_t from, size_t n) {
  for (size_t i = from; i < from + n; ++i) {
    if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

// "YYYY-MM-DD" or "YYYY-MM-DDThh:mm:ssZ" as the latter; "" when neither.
std::string UtcDate(const std::string& text) {
  if (text.size() == 10 && IsDigits(text, 0, 4) && text[4] == '-' && IsDigits(text, 5, 2) &&
      text[7] == '-' && IsDigits(text, 8, 2)) {
    return text + "T00:00:00Z";
  }
  if (text.size() == 20 && IsDigits(text, 0, 4) && text[10] == 'T' && text[19] == 'Z') return text;
  return "";
}

std::string Numbered(const char* prefix, size_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%06zu", prefix, n);
  return text;
}

std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  for (const auto& [key, value] : members) {
    writer.Key(key.c_str());
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
  }
  writer.EndObject();
  return buffer.GetString();
}

struct ChildKind {
  const char* list;       // member of the description
  const char* entity;
  int property;           // number used in the child's identifier
  std::vector<const char*> keys;  // string fields copied from each item
  const char* date_key;   // a field written as a date, or null
};

const std::vector<ChildKind>& ChildKinds() {
  static const std::vector<ChildKind> kinds = {
      {"phones", "com.apple.contacts.Phone Number", 3, {"value", "type", "label"}, nullptr},
      {"emails", "com.apple.contacts.Email Address", 4, {"value", "type", "label"}, nullptr},
      {"addresses", "com.apple.contacts.Street Address", 5,
       {"street", "city", "state", "postal code", "country", "country code", "type", "label"}, nullptr},
      {"urls", "com.apple.contacts.URL", 22, {"value", "type", "label"}, nullptr},
      {"related", "com.apple.contacts.Related Name", 23, {"value", "type", "label"}, nullptr},
      {"ims", "com.apple.contacts.IM", 13, {"user", "service", "type", "label"}, nullptr},
      {"dates", "com.apple.contacts.Date", 12, {"type", "label"}, "value"},
  };
  return kinds;
}

}  // namespace

std::string BuildContactPayload(const std::string& description_json, std::string* error) {
  rapidjson::Document doc;
  if (!ParseObject(description_json, &doc, error)) return "";
  const std::string id = Str(doc, "id", "vadoctl-contact");
  std::set<std::string> lists;
  for (const ChildKind& kind : ChildKinds()) lists.insert(kind.list);

  Push contact("com.apple.Contacts");
  PlistXmlWriter& record = contact.BeginRecord(id, "com.apple.contacts.Contact");
  for (const auto& member : doc.GetObject()) {
    const std::string key = member.name.GetString();
    if (key == "id" || lists.count(key)) continue;
    if (!member.value.IsString()) {
      *error = "contact field \"" + key + "\" must be a string";
      return "";
    }
    if (key == "birthday") {
      std::string date = UtcDate(member.value.GetString());
      if (date.empty()) {
        *error = "birthday must be YYYY-MM-DD";
        return "";
      }
      record.Key(key).Date(date);
    } else {
      record.Key(key).String(member.value.GetString());
    }
  }
  record.EndDict();
  std::vector<std::pair<std::string, std::string>> payload;
  payload.emplace_back("com.apple.contacts.Contact",
                       contact.Finish({"com.apple.contacts.Contact"}, true));

  for (const ChildKind& kind : ChildKinds()) {
    auto list = doc.FindMember(kind.list);
    if (list == doc.MemberEnd()) continue;
    if (!list->value.IsArray()) {
      *error = std::string(kind.list) + " must be an array";
      return "";
    }
    Push push("com.apple.Contacts");
    size_t n = 0;
    for (const auto& item : list->value.GetArray()) {
      if (!item.IsObject()) {
        *error = std::string(kind.list) + " items must be objects";
        return "";
      }
      // "<property>/<contact>/<n>": the contact's identifier inside is rewritten with the
      // device's once the contact has one.
      const std::string child_id = std::to_string(kind.property) + "/" + id + "/" + std::to_string(n++);
      PlistXmlWriter& xml = push.BeginRecord(child_id, kind.entity);
      xml.Key("contact").BeginArray().String(id).EndArray();
      for (const char* key : kind.keys) {
        std::string value = Str(item, key);
        if (!value.empty()) xml.Key(key).String(value);
      }
      if (kind.date_key != nullptr) {
        std::string date = UtcDate(Str(item, kind.date_key));
        if (date.empty()) {
          *error = std::string(kind.list) + " need a value of the form YYYY-MM-DD";
          return "";
        }
        xml.Key(kind.date_key).Date(date);
      }
      xml.EndDict();
    }
    if (push.records() > 0) payload.emplace_back(kind.entity, push.Finish({kind.entity}, true));
  }
  return JsonObject(payload);
}

std::string BuildCalendarPayload(const std::string& description_json, std::string* error) {
  rapidjson::Document doc;
  if (!ParseObject(description_json, &doc, error)) return "";
  const std::string calendar_id = Str(doc, "id", "vadoctl-calendar");
  Push calendar("com.apple.Calendars");
  PlistXmlWriter& c = calendar.BeginRecord(calendar_id, "com.apple.calendars.Calendar");
  c.Key("title").String(Str(doc, "title", "Calendar"));
  auto color = doc.FindMember("color");
  if (color != doc.MemberEnd() && color->value.IsArray()) {
    c.Key("colorComponents").BeginArray();
    for (const auto& v : color->value.GetArray()) c.Integer(v.IsInt64() ? v.GetInt64() : 0);
    c.EndArray();
  }
  auto read_only = doc.FindMember("read only");
  c.Key("read only").Integer(read_only != doc.MemberEnd() && read_only->value.IsInt64()
                                 ? read_only->value.GetInt64() : 0);
  c.EndDict();

  Push events("com.apple.Calendars"), alarms("com.apple.Calendars"), recurrences("com.apple.Calendars");
  auto list = doc.FindMember("events");
  if (list != doc.MemberEnd()) {
    if (!list->value.IsArray()) {
      *error = "events must be an array";
      return "";
    }
    size_t n = 0;
    for (const auto& event : list->value.GetArray()) {
      if (!event.IsObject()) {
        *error = "events must be objects";
        return "";
      }
      // Fixed-width numbers keep one generated identifier from being part of another.
      const std::string event_id = Str(event, "id", Numbered("vadoctl-event-", ++n));
      const std::string start = UtcDate(Str(event, "start"));
      const std::string end = UtcDate(Str(event, "end", Str(event, "start")));
      if (start.empty() || end.empty()) {
        *error = "an event needs \"start\" (and \"end\") as YYYY-MM-DD or YYYY-MM-DDThh:mm:ssZ";
        return "";
      }
      PlistXmlWriter& e = events.BeginRecord(event_id, "com.apple.calendars.Event");
      e.Key("all day").Integer(event.HasMember("all day") && event["all day"].IsBool() &&
                               event["all day"].GetBool() ? 1 : 0);
      e.Key("calendar").BeginArray().String(calendar_id).EndArray();
      for (const char* key : {"description", "location", "summary", "url"}) {
        std::string value = Str(event, key);
        if (!value.empty()) e.Key(key).String(value);
      }
      e.Key("end date").Date(end).Key("start date").Date(start);
      std::string zone = Str(event, "timezone");
      if (!zone.empty()) e.Key("start date.timezone").String(zone);
      e.EndDict();

      auto alarm_list = event.FindMember("alarms");
      if (alarm_list != event.MemberEnd() && alarm_list->value.IsArray()) {
        size_t a = 0;
        for (const auto& alarm : alarm_list->value.GetArray()) {
          const std::string alarm_id = Str(alarm, "id", Numbered("vadoctl-alarm-", n * 1000 + ++a));
          PlistXmlWriter& x = alarms.BeginRecord(alarm_id, "com.apple.calendars.DisplayAlarm");
          x.Key("description").String(Str(alarm, "description", "Reminder"));
          x.Key("owner").BeginArray().String(event_id).EndArray();
          x.Key("triggerduration").Integer(alarm.HasMember("trigger") && alarm["trigger"].IsInt64()
                                               ? alarm["trigger"].GetInt64() : -900);
          x.EndDict();
        }
      }
      auto recurrence = event.FindMember("recurrence");
      if (recurrence != event.MemberEnd() && recurrence->value.IsObject()) {
        const Value& r = recurrence->value;
        PlistXmlWriter& x = recurrences.BeginRecord(Str(r, "id", Numbered("vadoctl-recurrence-", n)),
                                                    "com.apple.calendars.Recurrence");
        x.Key("frequency").String(Str(r, "frequency", "weekly"));
        x.Key("interval").Integer(r.HasMember("interval") && r["interval"].IsInt64()
                                      ? r["interval"].GetInt64() : 1);
        x.Key("owner").BeginArray().String(event_id).EndArray();
        std::string until = UtcDate(Str(r, "until"));
        if (!until.empty()) x.Key("until").Date(until);
        x.EndDict();
      }
    }
  }
  std::vector<std::pair<std::string, std::string>> payload;
  payload.emplace_back("com.apple.calendars.Calendar",
                       calendar.Finish({"com.apple.calendars.Calendar"}, false));
  if (events.records() > 0) {
    payload.emplace_back("com.apple.calendars.Event", events.Finish({"com.apple.calendars.Event"}, false));
  }
  if (alarms.records() > 0) {
    payload.emplace_back("com.apple.calendars.DisplayAlarm",
                         alarms.Finish({"com.apple.calendars.DisplayAlarm"}, false));
  }
  if (recurrences.records() > 0) {
    payload.emplace_back("com.apple.calendars.Recurrence",
                         recurrences.Finish({"com.apple.calendars.Recurrence"}, false));
  }
  return JsonObject(payload);
}

std::string BuildBookmarkPush(const std::string& description_json, std::string* error) {
  rapidjson::Document doc;
  if (!ParseObject(description_json, &doc, error)) return "";
  const std::string id = Str(doc, "id");
  if (id.empty()) {
    *error = "a bookmark needs an \"id\"";
    return "";
  }
  const bool folder = doc.HasMember("folder") && doc["folder"].IsBool() && doc["folder"].GetBool();
  const std::string entity = folder ? "com.apple.bookmarks.Folder" : "com.apple.bookmarks.Bookmark";
  Push push("com.apple.Bookmarks");
  PlistXmlWriter& x = push.BeginRecord(id, entity);
  x.Key("name").String(Str(doc, "name"));
  const std::string parent = Str(doc, "parent");
  if (!parent.empty()) x.Key("parent").BeginArray().String(parent).EndArray();
  x.Key("position").Integer(doc.HasMember("position") && doc["position"].IsInt64()
                                ? doc["position"].GetInt64() : 0);
  if (!folder) x.Key("url").String(Str(doc, "url"));
  x.EndDict();
  return push.Finish({entity}, false);
}

}  // namespace vadoctl
