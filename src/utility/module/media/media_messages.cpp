#include "utility/module/media/media_messages.h"

#include <algorithm>
#include <cmath>

#include "common/json_text.h"
#include "common/message_sections.h"
#include "utility/module/vado_module.h"

namespace {

void AppendMediaMember(std::string* out, const char* name, std::string_view text) {
  *out += '"';
  *out += name;
  *out += "\":";
  *out += JsonQuote(text);
  *out += ',';
}

void AppendMediaMember(std::string* out, const char* name, int64_t value) {
  *out += '"';
  *out += name;
  *out += "\":";
  *out += std::to_string(value);
  *out += ',';
}

int64_t WholeMilliseconds(double value) {
  if (!std::isfinite(value) || value < -9e18 || value > 9e18) return 0;
  return std::llround(value);
}

}  // namespace

void MediaListSender::Send(int32_t stage, int32_t type, std::string info, std::string_view body) {
  ReplyRecord record;
  record.stage = stage;
  record.code = 0;
  record.uuid = uuid_;
  record.type = type;
  record.info = std::move(info);
  record.body = body;
  module_.SendMessage(request_, record, kKindProgress);
}

bool MediaListSender::SendList(int32_t type, size_t count,
                               const std::function<void(size_t, std::string*)>& render,
                               const std::function<bool()>& cancelled) {
  const std::string info = "{\"Count\":" + std::to_string(count) + "}";
  Send(0, type, info, {});
  std::string batch;
  for (size_t first = 0; first < count; first += kArraySize) {
    if (cancelled && cancelled()) return false;
    const size_t end = std::min(count, first + kArraySize);
    batch.assign(1, '[');
    for (size_t i = first; i < end; ++i) {
      if (i > first) batch += ',';
      render(i, &batch);
    }
    batch += ']';
    Send(1, type, info, batch);
  }
  return true;
}

void AppendMediaItemJson(const MediaItem& item, std::string* out) {
  *out += '{';
  AppendMediaMember(out, "item_pid", item.pid);
  AppendMediaMember(out, "title", item.title);
  AppendMediaMember(out, "total_time_ms", item.duration);
  AppendMediaMember(out, "total_time_ms_int", WholeMilliseconds(item.total_time_ms));
  AppendMediaMember(out, "media_kind", item.media_kind);
  AppendMediaMember(out, "media_type", item.media_type);
  AppendMediaMember(out, "comment", item.comment);
  AppendMediaMember(out, "description_long", item.description_long);
  AppendMediaMember(out, "copyright", item.copyright);
  AppendMediaMember(out, "year", static_cast<int64_t>(item.year));
  AppendMediaMember(out, "date_modified", std::string_view());
  AppendMediaMember(out, "date_modified_int", item.date_modified);
  AppendMediaMember(out, "album", item.album);
  AppendMediaMember(out, "album_pid", item.album_pid);
  AppendMediaMember(out, "artist", item.artist);
  AppendMediaMember(out, "item_artist_pid", item.artist_pid);
  AppendMediaMember(out, "genre", item.genre);
  AppendMediaMember(out, "genre_id", item.genre_id);
  AppendMediaMember(out, "path", item.path);
  AppendMediaMember(out, "file_size", item.file_size);
  out->back() = '}';
}

void AppendPlaylistJson(const MediaPlaylist& playlist, std::string* out) {
  *out += '{';
  AppendMediaMember(out, "container_pid", playlist.pid);
  AppendMediaMember(out, "name", playlist.name);
  AppendMediaMember(out, "container_media_type", playlist.media_type);
  AppendMediaMember(out, "parent_pid", playlist.parent_pid);
  AppendMediaMember(out, "smart_is_folder", static_cast<int64_t>(playlist.smart_is_folder));
  out->back() = '}';
}

std::string PlaylistItemsJson(int64_t playlist_pid, const std::vector<int64_t>& item_pids) {
  std::string json = "{\"Playlist\":" + std::to_string(playlist_pid) + ",\"item_pids\":[";
  for (size_t i = 0; i < item_pids.size(); ++i) {
    if (i) json += ',';
    json += std::to_string(item_pids[i]);
  }
  json += "]}";
  return json;
}
