#include "photo_commands.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/json_text.h"
#include "device_commands.h"
#include "text_table.h"

namespace vadoctl {
namespace {

constexpr uint32_t kPhotoListCommand = 400;
constexpr uint32_t kAlbumListCommand = 401;
constexpr uint32_t kAlbumItemsCommand = 402;
constexpr uint32_t kThumbnailsCommand = 403;
constexpr uint32_t kDeleteCommand = 404;

std::string PhotoText(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject() || !object.HasMember(key)) return {};
  const rapidjson::Value& v = object[key];
  if (v.IsString()) return v.GetString();
  if (v.IsInt64()) return std::to_string(v.GetInt64());
  return {};
}

std::string PhotoJson(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

const char* AlbumTypeName(int64_t type) {
  switch (type) {
    case 0: return "album";
    case 1: return "library";
    case 2: return "favourites";
    case 3: return "screenshots";
    case 4: return "type 256";
    case 5: return "recently deleted";
    case 6: return "videos";
    case 7: return "live photos";
    case 8: return "bursts";
    default: return "?";
  }
}

// Every object of the request's type-0 arrays (stage 1), in order.
std::vector<rapidjson::Document> CollectObjects(DeviceSession& session, uint32_t command,
                                                const std::string& info, RequestOutcome* outcome) {
  std::vector<rapidjson::Document> objects;
  *outcome = session.Run(
      command, "",
      [&](const AgentMessage& message, const rapidjson::Document& header) {
        if (message.kind != 2 || !header.IsObject() || !header.HasMember("stage") ||
            !header["stage"].IsInt() || header["stage"].GetInt() != 1) {
          return;
        }
        rapidjson::Document array;
        array.Parse(message.body.c_str());
        if (!array.IsArray()) return;
        for (rapidjson::Value& item : array.GetArray()) {
          rapidjson::Document copy;
          copy.CopyFrom(item, copy.GetAllocator());
          objects.push_back(std::move(copy));
        }
      },
      info);
  return objects;
}

void PrintPhotos(const std::vector<rapidjson::Document>& photos, bool readable) {
  if (!readable) {
    for (const rapidjson::Document& p : photos) std::cout << PhotoJson(p) << "\n";
    return;
  }
  TextTable table({"ID", "PATH", "CREATED", "MODIFIED", "BYTES"}, 60);
  for (const rapidjson::Document& p : photos) {
    table.Add({PhotoText(p, "Z_PK"), PhotoText(p, "PATH"), PhotoText(p, "ZDATECREATED"),
               PhotoText(p, "ZMODIFICATIONDATE"), PhotoText(p, "ZORIGINALFILESIZE")});
  }
  std::cout << table.Render() << photos.size() << " photos\n";
}

void PrintAlbums(const std::vector<rapidjson::Document>& albums, bool readable) {
  if (!readable) {
    for (const rapidjson::Document& a : albums) std::cout << PhotoJson(a) << "\n";
    return;
  }
  TextTable table({"ID", "TYPE", "KIND", "TITLE", "ITEMS"}, 50);
  for (const rapidjson::Document& a : albums) {
    const int64_t type = a.HasMember("TYPE") && a["TYPE"].IsInt64() ? a["TYPE"].GetInt64() : -1;
    table.Add({PhotoText(a, "Z_PK"), std::to_string(type) + " " + AlbumTypeName(type),
               PhotoText(a, "ZKIND"), PhotoText(a, "TITLE"), PhotoText(a, "COUNT")});
  }
  std::cout << table.Render();
}

// The file name a thumbnail gets: the item id (as a plain name) and the extension of the
// thumbnail's device path.
std::string ThumbnailFileName(const std::string& id, const std::string& device_path) {
  std::string name;
  for (char c : id) name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
  const size_t dot = device_path.rfind('.');
  const size_t slash = device_path.rfind('/');
  std::string ext = ".JPG";
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
      device_path.size() - dot <= 5) {
    ext = device_path.substr(dot);
  }
  return name + ext;
}

int RunThumbs(DeviceSession& session, const CliOptions& options, const std::string& info) {
  if (options.out_dir.empty() || options.args.size() < 2) {
    std::fprintf(stderr, "vadoctl: usage: vadoctl photos thumbs ID... --out DIR\n");
    return kExitUsage;
  }
  RequestOutcome outcome;
  const std::vector<rapidjson::Document> photos =
      CollectObjects(session, kPhotoListCommand, info, &outcome);
  if (const int status = FinishRequest("photos", outcome); status != kExitOk) return status;
  std::map<std::string, std::string> paths;
  for (const rapidjson::Document& p : photos) paths[PhotoText(p, "Z_PK")] = PhotoText(p, "PATH");
  std::string body = "{";
  for (size_t i = 1; i < options.args.size(); ++i) {
    auto it = paths.find(options.args[i]);
    if (it == paths.end()) {
      std::fprintf(stderr, "vadoctl: no photo %s\n", options.args[i].c_str());
      continue;
    }
    if (body.size() > 1) body += ",";
    body += JsonQuote(it->first) + ":" + JsonQuote(it->second);
  }
  body += "}";
  std::error_code error;
  std::filesystem::create_directories(options.out_dir, error);
  int written = 0;
  outcome = session.Run(kThumbnailsCommand, body,
                        [&](const AgentMessage& message, const rapidjson::Document& header) {
                          if (message.kind != 2 || !header.IsObject() || !header.HasMember("info") ||
                              !header["info"].IsObject()) {
                            return;
                          }
                          const std::string id = PhotoText(header["info"], "id");
                          const std::string path = PhotoText(header["info"], "path");
                          if (id.empty()) return;
                          const std::filesystem::path file =
                              std::filesystem::path(options.out_dir) / ThumbnailFileName(id, path);
                          std::ofstream out(file, std::ios::binary | std::ios::trunc);
                          out.write(message.body.data(), static_cast<std::streamsize>(message.body.size()));
                          if (out) {
                            ++written;
                            std::printf("%s\n", file.c_str());
                          }
                        });
  if (const int status = FinishRequest("thumbnails", outcome); status != kExitOk) return status;
  std::fprintf(stderr, "%d thumbnails written\n", written);
  return kExitOk;
}

}  // namespace

int RunPhotosCommand(DeviceSession& session, const CliOptions& options) {
  const std::string action = options.args.empty() ? "list" : options.args[0];
  const bool readable = options.readable.value_or(::isatty(STDOUT_FILENO) == 1);
  const std::string refresh = options.refresh ? "true" : "false";
  const std::string info = "{\"refresh\":" + refresh + "}";
  RequestOutcome outcome;
  if (action == "list" && options.args.size() <= 1) {
    const auto photos = CollectObjects(session, kPhotoListCommand, info, &outcome);
    if (const int status = FinishRequest("photos", outcome); status != kExitOk) return status;
    PrintPhotos(photos, readable);
    return kExitOk;
  }
  if (action == "albums" && options.args.size() == 1) {
    const auto albums = CollectObjects(session, kAlbumListCommand, info, &outcome);
    if (const int status = FinishRequest("albums", outcome); status != kExitOk) return status;
    PrintAlbums(albums, readable);
    return kExitOk;
  }
  if (action == "album" && options.args.size() == 2 &&
      options.args[1].find_first_not_of("0123456789") == std::string::npos &&
      !options.args[1].empty() && options.args[1].size() < 18) {
    const std::string album_info = "{\"refresh\":" + refresh + ",\"album_id\":" + options.args[1] +
                                   ",\"album_type\":" + std::to_string(options.album_type) + "}";
    const auto photos = CollectObjects(session, kAlbumItemsCommand, album_info, &outcome);
    if (const int status = FinishRequest("album", outcome); status != kExitOk) return status;
    PrintPhotos(photos, readable);
    return kExitOk;
  }
  if (action == "thumbs") return RunThumbs(session, options, info);
  if (action == "delete" && options.args.size() == 2) {
    outcome = session.Run(kDeleteCommand, "{\"name\":" + JsonQuote(options.args[1]) + "}",
                          [](const AgentMessage&, const rapidjson::Document&) {});
    if (outcome.answered && outcome.code == 1) {
      std::fprintf(stderr, "vadoctl: no photo named like %s\n", options.args[1].c_str());
      return kExitFailed;
    }
    const int status = FinishRequest("delete", outcome);
    if (status == kExitOk) std::printf("deleted %s\n", options.args[1].c_str());
    return status;
  }
  std::fprintf(stderr,
               "vadoctl: usage: vadoctl photos [list | albums | album ID --type T | thumbs ID... "
               "--out DIR | delete NAME] [--refresh] [--json]\n");
  return kExitUsage;
}

}  // namespace vadoctl
