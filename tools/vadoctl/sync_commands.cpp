#include "sync_commands.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "device_commands.h"
#include "record_builders.h"
#include "record_tables.h"

namespace vadoctl {
namespace {

struct SyncOptions {
  std::string kind;    // contacts | calendars | bookmarks | notes
  std::string action;  // list | add | edit | delete | group-create | group-set
  std::vector<std::string> args;
  bool pretty = true;
  std::string title, content, id;  // notes add
};

// Command ids per kind and action.
std::optional<uint32_t> CommandFor(const std::string& kind, const std::string& action) {
  static const std::map<std::string, std::map<std::string, uint32_t>> table = {
      {"contacts", {{"list", 100}, {"add", 102}, {"edit", 102}, {"delete", 103},
                    {"group-create", 104}, {"group-set", 106}}},
      {"calendars", {{"list", 1500}, {"add", 1501}, {"edit", 1501}, {"delete", 1502}}},
      {"bookmarks", {{"list", 1400}, {"add", 1401}, {"edit", 1401}, {"delete", 1402}}},
      {"notes", {{"list", 1200}, {"add", 1201}}},
  };
  auto k = table.find(kind);
  if (k == table.end()) return std::nullopt;
  auto a = k->second.find(action);
  if (a == k->second.end()) return std::nullopt;
  return a->second;
}

bool ReadInput(const std::string& name, std::string* out, std::string* error) {
  if (name == "-") {
    out->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    *error = "cannot read " + name;
    return false;
  }
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string Quote(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

// The request body for the action, or nothing (with `error`).
std::optional<std::string> RequestBody(const SyncOptions& o, std::string* error) {
  auto need = [&](size_t n) {
    if (o.args.size() >= n) return true;
    *error = "missing arguments for " + o.kind + " " + o.action;
    return false;
  };
  if (o.action == "list") return std::string();
  if (o.action == "delete") {
    if (!need(1)) return std::nullopt;
    return "{\"id\":" + Quote(o.args[0]) + "}";
  }
  if (o.action == "group-create") {
    if (!need(2)) return std::nullopt;
    return "{\"id\":" + Quote(o.args[0]) + ",\"name\":" + Quote(o.args[1]) + "}";
  }
  if (o.action == "group-set") {
    if (!need(2)) return std::nullopt;
    std::string members;
    for (size_t i = 2; i < o.args.size(); ++i) members += (i > 2 ? "," : "") + Quote(o.args[i]);
    return "{\"guid\":" + Quote(o.args[0]) + ",\"id\":" + Quote(o.args[0]) + ",\"name\":" +
           Quote(o.args[1]) + ",\"members\":[" + members + "]}";
  }
  if (o.kind == "notes") {
    std::string id = o.id.empty() ? "vadoctl-note" : o.id;
    std::string body = "{\"id\":" + Quote(id);
    if (!o.title.empty()) body += ",\"title\":" + Quote(o.title);
    body += ",\"content\":" + Quote(o.content) + "}";
    return body;
  }
  // add / edit from a JSON description.
  if (!need(1)) return std::nullopt;
  std::string description;
  if (!ReadInput(o.args[0], &description, error)) return std::nullopt;
  std::string built;
  if (o.kind == "contacts") built = BuildContactPayload(description, error);
  else if (o.kind == "calendars") built = BuildCalendarPayload(description, error);
  else built = BuildBookmarkPush(description, error);
  if (built.empty()) return std::nullopt;
  return built;
}

std::optional<SyncOptions> Parse(const CliOptions& cli, std::string* error) {
  SyncOptions o;
  o.kind = cli.command;
  o.title = cli.title;
  o.content = cli.content;
  o.id = cli.record_id;
  o.pretty = !cli.compact;
  o.action = cli.args[0];
  o.args.assign(cli.args.begin() + 1, cli.args.end());
  if (!CommandFor(o.kind, o.action)) {
    *error = "unknown action " + o.kind + " " + o.action;
    return std::nullopt;
  }
  return o;
}

// Joins the data bodies of a list into one JSON document: contacts become
// {"groups": {...}, "contacts": {...}}, the others one array.
rapidjson::Document JoinList(const std::string& kind, const std::vector<AgentMessage>& data) {
  rapidjson::Document out;
  rapidjson::Value groups(rapidjson::kObjectType), contacts(rapidjson::kObjectType);
  if (kind == "contacts") out.SetObject();
  else out.SetArray();
  auto& a = out.GetAllocator();
  for (const AgentMessage& m : data) {
    if (m.body.empty()) continue;
    rapidjson::Document part;
    part.Parse(m.body.c_str());
    if (part.HasParseError()) continue;
    if (kind == "contacts" && part.IsObject()) {
      rapidjson::Value& into = m.command_id == 101 ? groups : contacts;
      for (auto& member : part.GetObject()) {
        into.AddMember(rapidjson::Value(member.name, a), rapidjson::Value(member.value, a), a);
      }
    } else if (kind == "bookmarks" && part.IsObject()) {
      out.PushBack(rapidjson::Value(part, a), a);
    } else if (part.IsArray()) {
      for (auto& item : part.GetArray()) out.PushBack(rapidjson::Value(item, a), a);
    }
  }
  if (kind == "contacts") {
    out.AddMember("groups", groups, a);
    out.AddMember("contacts", contacts, a);
  }
  return out;
}

std::string JsonText(const rapidjson::Document& out, bool pretty) {
  rapidjson::StringBuffer buffer;
  if (pretty) {
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    out.Accept(writer);
  } else {
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    out.Accept(writer);
  }
  return buffer.GetString();
}

}  // namespace

std::string SyncCommandsHelp() {
  return R"(Device data:
  vadoctl contacts  list | add FILE | edit FILE | delete ID | group-create ID NAME
                    | group-set GROUP-NUMBER NAME [CONTACT-ID...]
  vadoctl calendars list | add FILE | edit FILE | delete ID
  vadoctl bookmarks list | add FILE | edit FILE | delete ID
  vadoctl notes     list | add [--title T] --content C [--id ID]
  FILE is a JSON description of the record ("-" reads standard input), for example
    {"first name": "Ann", "phones": [{"value": "+1 555 0100", "type": "mobile"}],
     "emails": [{"value": "ann@example.com"}]}
    {"title": "Trips", "events": [{"summary": "Flight", "start": "2024-05-01T09:00:00Z",
     "alarms": [{"trigger": -900}], "recurrence": {"frequency": "weekly"}}]}
    {"id": "B1", "name": "Example", "url": "https://example.org/", "parent": "<folder id>"}
  An edit uses the record's device identifier as "id".
  A list is a table on a terminal, JSON when piped or with --json.
  Options: --compact (one line of JSON), and those of every device command
)";
}

int RunSyncCommand(DeviceSession& session, const CliOptions& cli) {
  std::string error;
  std::optional<SyncOptions> options = Parse(cli, &error);
  std::optional<std::string> body = options ? RequestBody(*options, &error) : std::nullopt;
  if (!body) {
    std::fprintf(stderr, "vadoctl: %s\n%s", error.c_str(), SyncCommandsHelp().c_str());
    return kExitUsage;
  }
  std::vector<AgentMessage> data;
  RequestOutcome outcome = session.Run(*CommandFor(options->kind, options->action), *body,
                                       [&](const AgentMessage& message, const rapidjson::Document&) {
                                         if (message.kind == 2) data.push_back(message);
                                       });
  if (outcome.answered && options->action == "list") {
    rapidjson::Document listed = JoinList(options->kind, data);
    if (cli.readable.value_or(false) && !cli.compact) {
      std::cout << RecordListTable(options->kind, listed) << std::flush;
    } else {
      std::cout << JsonText(listed, options->pretty) << std::endl;
    }
  } else {
    for (const AgentMessage& m : data) std::cout << m.body << std::endl;
  }
  return FinishRequest(options->kind + " " + options->action, outcome);
}

}  // namespace vadoctl
