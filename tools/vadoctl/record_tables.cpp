#include "record_tables.h"

#include <initializer_list>
#include <vector>

#include "text_table.h"

namespace vadoctl {
namespace {

std::string Text(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return "";
  auto it = object.FindMember(key);
  if (it == object.MemberEnd()) return "";
  if (it->value.IsString()) return it->value.GetString();
  if (it->value.IsInt64()) return std::to_string(it->value.GetInt64());
  return "";
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

// The "value" of every child record of a contact whose entity name contains `entity`
// (the device names them like "com.apple.contacts.Phone Number").
std::string ChildValues(const rapidjson::Value& contact, const char* entity) {
  std::vector<std::string> values;
  for (const auto& member : contact.GetObject()) {
    if (!member.value.IsArray()) continue;
    if (std::string(member.name.GetString()).find(entity) == std::string::npos) continue;
    for (const auto& child : member.value.GetArray()) values.push_back(Text(child, "value"));
  }
  return Joined(values, ", ");
}

std::string ContactName(const rapidjson::Value& contact) {
  std::string name = Joined({Text(contact, "first name"), Text(contact, "middle name"),
                             Text(contact, "last name")}, " ");
  for (const char* key : {"organization", "company name", "nickname"}) {
    if (!name.empty()) break;
    name = Text(contact, key);
  }
  return name;
}

size_t Count(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return 0;
  auto it = object.FindMember(key);
  return it != object.MemberEnd() && it->value.IsArray() ? it->value.Size() : 0;
}

std::string Contacts(const rapidjson::Value& listed) {
  std::string out;
  auto groups = listed.FindMember("groups");
  if (groups != listed.MemberEnd() && groups->value.IsObject() && groups->value.MemberCount() > 0) {
    TextTable table({"GROUP", "NAME", "MEMBERS"});
    for (const auto& group : groups->value.GetObject()) {
      table.Add({group.name.GetString(), Text(group.value, "name"),
                 std::to_string(Count(group.value, "members"))});
    }
    out += table.Render() + "\n";
  }
  TextTable table({"ID", "NAME", "PHONES", "EMAILS"});
  auto contacts = listed.FindMember("contacts");
  if (contacts != listed.MemberEnd() && contacts->value.IsObject()) {
    for (const auto& contact : contacts->value.GetObject()) {
      if (!contact.value.IsObject()) continue;
      table.Add({contact.name.GetString(), ContactName(contact.value),
                 ChildValues(contact.value, "Phone"), ChildValues(contact.value, "Email")});
    }
  }
  return out + table.Render() + std::to_string(table.rows()) + " contacts\n";
}

std::string Calendars(const rapidjson::Value& listed) {
  TextTable calendars({"ID", "CALENDAR", "EVENTS", "READ ONLY"});
  TextTable events({"CALENDAR", "START", "END", "SUMMARY", "LOCATION"});
  for (const auto& calendar : listed.GetArray()) {
    if (!calendar.IsObject()) continue;
    std::string title = Text(calendar, "title");
    calendars.Add({Text(calendar, "id"), title, std::to_string(Count(calendar, "events")),
                   Text(calendar, "read_only") == "1" ? "yes" : "no"});
    auto list = calendar.FindMember("events");
    if (list == calendar.MemberEnd() || !list->value.IsArray()) continue;
    for (const auto& event : list->value.GetArray()) {
      events.Add({title, Text(event, "start_date"), Text(event, "end_date"),
                  Text(event, "summary"), Text(event, "location")});
    }
  }
  return calendars.Render() + "\n" + events.Render() + std::to_string(events.rows()) +
         " events in " + std::to_string(calendars.rows()) + " calendars\n";
}

// Folders and bookmarks in tree order, the name indented by depth.
void AddBookmarks(TextTable& table, const rapidjson::Value& node, size_t depth, size_t* links) {
  if (!node.IsObject() || depth > 64) return;
  std::string url = Text(node, "url");
  if (!url.empty()) ++*links;
  table.Add({std::string(depth * 2, ' ') + Text(node, "name"), url, Text(node, "id")});
  auto children = node.FindMember("children");
  if (children == node.MemberEnd() || !children->value.IsArray()) return;
  for (const auto& child : children->value.GetArray()) AddBookmarks(table, child, depth + 1, links);
}

std::string Bookmarks(const rapidjson::Value& listed) {
  TextTable table({"NAME", "URL", "ID"}, 60);
  size_t links = 0;
  for (const auto& root : listed.GetArray()) AddBookmarks(table, root, 0, &links);
  return table.Render() + std::to_string(links) + " bookmarks\n";
}

std::string Notes(const rapidjson::Value& listed) {
  TextTable table({"ID", "SUBJECT", "MODIFIED", "CONTENT"});
  for (const auto& note : listed.GetArray()) {
    if (!note.IsObject()) continue;
    table.Add({Text(note, "id"), Text(note, "subject"), Text(note, "dateModified"),
               Text(note, "content")});
  }
  return table.Render() + std::to_string(table.rows()) + " notes\n";
}

}  // namespace

std::string RecordListTable(const std::string& kind, const rapidjson::Value& listed) {
  if (kind == "contacts" && listed.IsObject()) return Contacts(listed);
  if (!listed.IsArray()) return "";
  if (kind == "calendars") return Calendars(listed);
  if (kind == "bookmarks") return Bookmarks(listed);
  if (kind == "notes") return Notes(listed);
  return "";
}

}  // namespace vadoctl
