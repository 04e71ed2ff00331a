#include "media_commands.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/number_parse.h"
#include "device_commands.h"
#include "message_commands.h"
#include "text_table.h"

namespace vadoctl {
namespace {

constexpr uint32_t kLibraryCommand = 1000;
constexpr uint32_t kBooksCommand = 1001;
constexpr uint32_t kMemosCommand = 1002;
constexpr uint32_t kPlaylistCommand = 1010;

// The "type" of each list the agent sends.
constexpr int kMemosType = 1002, kRingtonesType = 1003, kSongsType = 1004, kMoviesType = 1005,
              kTvShowsType = 1006, kMusicVideosType = 1007, kBooksType = 1008,
              kPlaylistsType = 1009, kPlaylistItemsType = 1010;

// Everything one request sent: objects by list type, playlist members by playlist pid.
struct MediaReceived {
  std::map<int, std::vector<rapidjson::Document>> lists;
  std::map<int64_t, std::vector<int64_t>> members;
  RequestOutcome outcome;
};

int64_t MediaNumber(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return 0;
  auto it = object.FindMember(key);
  if (it == object.MemberEnd()) return 0;
  if (it->value.IsInt64()) return it->value.GetInt64();
  if (it->value.IsNumber()) return static_cast<int64_t>(it->value.GetDouble());
  return 0;
}

std::string MediaText(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return {};
  auto it = object.FindMember(key);
  if (it == object.MemberEnd()) return {};
  if (it->value.IsString()) return it->value.GetString();
  if (it->value.IsInt64()) return std::to_string(it->value.GetInt64());
  if (it->value.IsNumber()) return std::to_string(it->value.GetDouble());
  return {};
}

std::string MediaJson(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

std::string Size(int64_t bytes) {
  char text[32];
  if (bytes >= 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  } else {
    std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
  }
  return text;
}

MediaReceived Collect(DeviceSession& session, uint32_t command, const std::string& info = "") {
  MediaReceived received;
  received.outcome = session.Run(
      command, "",
      [&](const AgentMessage& message, const rapidjson::Document& header) {
        if (message.kind != 2 || !header.IsObject() || MediaNumber(header, "stage") != 1) return;
        const int type = static_cast<int>(MediaNumber(header, "type"));
        rapidjson::Document data;
        data.Parse(message.body.c_str());
        if (type == kPlaylistItemsType) {
          if (!data.IsObject() || !data.HasMember("item_pids") || !data["item_pids"].IsArray()) {
            return;
          }
          std::vector<int64_t>& pids = received.members[MediaNumber(data, "Playlist")];
          for (const auto& pid : data["item_pids"].GetArray()) {
            if (pid.IsInt64()) pids.push_back(pid.GetInt64());
          }
          return;
        }
        if (!data.IsArray()) return;
        for (const auto& object : data.GetArray()) {
          rapidjson::Document copy;
          copy.CopyFrom(object, copy.GetAllocator());
          received.lists[type].push_back(std::move(copy));
        }
      },
      info);
  return received;
}

void PrintItems(const std::vector<rapidjson::Document>& items, bool video) {
  TextTable table(video ? std::vector<std::string>{"TITLE", "YEAR", "TIME", "SIZE", "PATH"}
                        : std::vector<std::string>{"TITLE", "ARTIST", "ALBUM", "TIME", "SIZE",
                                                   "PATH"});
  for (const auto& item : items) {
    const std::string size = Size(MediaNumber(item, "file_size"));
    if (video) {
      table.Add({MediaText(item, "title"), MediaText(item, "year"),
                 MediaText(item, "total_time_ms"), size, MediaText(item, "path")});
    } else {
      table.Add({MediaText(item, "title"), MediaText(item, "artist"), MediaText(item, "album"),
                 MediaText(item, "total_time_ms"), size, MediaText(item, "path")});
    }
  }
  std::cout << table.Render();
}

int PrintList(const MediaReceived& received, int type, const char* noun, bool readable) {
  auto it = received.lists.find(type);
  static const std::vector<rapidjson::Document> kNone;
  const std::vector<rapidjson::Document>& objects = it == received.lists.end() ? kNone : it->second;
  if (!readable) {
    for (const auto& object : objects) std::cout << MediaJson(object) << "\n";
    std::cout.flush();
    return kExitOk;
  }
  switch (type) {
    case kSongsType:
    case kMusicVideosType: PrintItems(objects, false); break;
    case kMoviesType:
    case kTvShowsType: PrintItems(objects, true); break;
    case kPlaylistsType: {
      TextTable table({"PID", "NAME", "ITEMS", "FOLDER", "PARENT"});
      for (const auto& p : objects) {
        const int64_t pid = MediaNumber(p, "container_pid");
        auto members = received.members.find(pid);
        table.Add({std::to_string(pid), MediaText(p, "name"),
                   std::to_string(members == received.members.end() ? 0 : members->second.size()),
                   MediaNumber(p, "smart_is_folder") ? "yes" : "",
                   MediaNumber(p, "parent_pid") ? std::to_string(MediaNumber(p, "parent_pid"))
                                                : ""});
      }
      std::cout << table.Render();
      break;
    }
    case kBooksType: {
      TextTable table({"TITLE", "AUTHOR", "GENRE", "SIZE", "PATH"});
      for (const auto& b : objects) {
        table.Add({MediaText(b, "title"), MediaText(b, "artist"), MediaText(b, "gene"),
                   Size(MediaNumber(b, "size")), MediaText(b, "path")});
      }
      std::cout << table.Render();
      break;
    }
    case kRingtonesType: {
      TextTable table({"TITLE", "DURATION", "SIZE", "PATH"});
      for (const auto& r : objects) {
        table.Add({MediaText(r, "title"), MediaText(r, "duration"), Size(MediaNumber(r, "size")),
                   MediaText(r, "path")});
      }
      std::cout << table.Render();
      break;
    }
    case kMemosType: {
      static const char* const kSources[] = {"database", "manifest", "composition"};
      TextTable table({"DATE", "LABEL", "DURATION", "SIZE", "FROM", "PATH"});
      for (const auto& m : objects) {
        const int64_t source = MediaNumber(m, "source");
        table.Add({MediaText(m, "date"), MediaText(m, "label"), MediaText(m, "duration"),
                   Size(MediaNumber(m, "size")), source >= 0 && source < 3 ? kSources[source] : "",
                   MediaText(m, "path")});
      }
      std::cout << table.Render();
      break;
    }
    default: break;
  }
  std::cout << objects.size() << " " << noun << "\n";
  std::cout.flush();
  return kExitOk;
}

// One playlist's items: their pids from 1010, their titles from the library just listed.
int PrintPlaylist(DeviceSession& session, const MediaReceived& library, const std::string& pid_text,
                  bool readable) {
  if (pid_text.empty() || pid_text.find_first_not_of("0123456789") != std::string::npos) {
    std::fprintf(stderr, "vadoctl: media playlist needs a playlist id (see: vadoctl media playlists)\n");
    return kExitUsage;
  }
  const int64_t pid = ParseLeadingInt64(pid_text);
  std::vector<int64_t> pids;
  int64_t count = -1;
  RequestOutcome outcome = session.Run(
      kPlaylistCommand, "",
      [&](const AgentMessage& message, const rapidjson::Document& header) {
        if (message.kind != 2 || MediaNumber(header, "type") != kPlaylistItemsType) return;
        if (MediaNumber(header, "stage") == 0 && header.HasMember("info")) {
          count = MediaNumber(header["info"], "Count");
          return;
        }
        rapidjson::Document data;
        data.Parse(message.body.c_str());
        if (!data.IsObject() || !data.HasMember("item_pids") || !data["item_pids"].IsArray()) return;
        for (const auto& p : data["item_pids"].GetArray()) {
          if (p.IsInt64()) pids.push_back(p.GetInt64());
        }
      },
      "{\"refresh\":false,\"container_pid\":" + std::to_string(pid) + "}");
  const int status = FinishRequest("media playlist", outcome);
  if (status != kExitOk) return status;
  std::map<int64_t, const rapidjson::Document*> by_pid;
  for (const auto& [type, objects] : library.lists) {
    if (type < kSongsType || type > kMusicVideosType) continue;
    for (const auto& o : objects) by_pid[MediaNumber(o, "item_pid")] = &o;
  }
  if (!readable) {
    for (int64_t item : pids) {
      auto it = by_pid.find(item);
      std::cout << (it == by_pid.end() ? "{\"item_pid\":" + std::to_string(item) + "}"
                                       : MediaJson(*it->second))
                << "\n";
    }
    std::cout.flush();
    return kExitOk;
  }
  if (count <= 0 && pids.empty()) {
    std::cout << "no playlist " << pid << " with items\n";
    return kExitOk;
  }
  TextTable table({"TITLE", "ARTIST", "TIME", "PID"});
  for (int64_t item : pids) {
    auto it = by_pid.find(item);
    if (it == by_pid.end()) {
      table.Add({"(not listed)", "", "", std::to_string(item)});
    } else {
      table.Add({MediaText(*it->second, "title"), MediaText(*it->second, "artist"),
                 MediaText(*it->second, "total_time_ms"), std::to_string(item)});
    }
  }
  std::cout << table.Render() << pids.size() << " items\n";
  std::cout.flush();
  return kExitOk;
}

}  // namespace

int RunMediaCommand(DeviceSession& session, const CliOptions& options) {
  const std::string list = options.args.empty() ? "" : options.args[0];
  const bool readable = options.readable.value_or(::isatty(STDOUT_FILENO) == 1);
  static const std::map<std::string, std::pair<int, const char*>> kLibraryLists = {
      {"songs", {kSongsType, "songs"}},
      {"movies", {kMoviesType, "movies"}},
      {"tvshows", {kTvShowsType, "TV shows"}},
      {"musicvideos", {kMusicVideosType, "music videos"}},
      {"playlists", {kPlaylistsType, "playlists"}}};
  if (list == "books" || list == "ringtones") {
    MediaReceived received = Collect(session, kBooksCommand);
    const int status = FinishRequest("media " + list, received.outcome);
    if (status != kExitOk) return status;
    return list == "books" ? PrintList(received, kBooksType, "books", readable)
                           : PrintList(received, kRingtonesType, "ringtones", readable);
  }
  if (list == "memos") {
    MediaReceived received = Collect(session, kMemosCommand);
    const int status = FinishRequest("media memos", received.outcome);
    if (status != kExitOk) return status;
    return PrintList(received, kMemosType, "voice memos", readable);
  }
  auto named = kLibraryLists.find(list);
  if (!list.empty() && list != "playlist" && named == kLibraryLists.end()) {
    std::fprintf(stderr,
                 "vadoctl: media takes songs, movies, tvshows, musicvideos, playlists, "
                 "playlist PID, books, ringtones or memos\n");
    return kExitUsage;
  }
  if (list == "playlist" && options.args.size() != 2) {
    std::fprintf(stderr, "vadoctl: media playlist needs a playlist id\n");
    return kExitUsage;
  }
  MediaReceived received = Collect(session, kLibraryCommand);
  const int status = FinishRequest("media", received.outcome);
  if (status != kExitOk) return status;
  if (list == "playlist") return PrintPlaylist(session, received, options.args[1], readable);
  if (named != kLibraryLists.end()) {
    return PrintList(received, named->second.first, named->second.second, readable);
  }
  // The library's lists and how many entries each has.
  if (!readable) {
    std::string line = "{";
    for (const auto& [name, type] : kLibraryLists) {
      auto it = received.lists.find(type.first);
      if (line.size() > 1) line += ',';
      line += "\"" + name + "\":" + std::to_string(it == received.lists.end() ? 0 : it->second.size());
    }
    std::cout << line << "}\n";
    return kExitOk;
  }
  TextTable table({"LIST", "ENTRIES"});
  for (const char* name : {"songs", "movies", "tvshows", "musicvideos", "playlists"}) {
    auto it = received.lists.find(kLibraryLists.at(name).first);
    table.Add({name, std::to_string(it == received.lists.end() ? 0 : it->second.size())});
  }
  std::cout << table.Render();
  std::cout.flush();
  return kExitOk;
}

}  // namespace vadoctl
