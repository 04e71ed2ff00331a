// The messages in which the media module sends its lists: a count message ("stage" 0,
// "info" {"Count":N}) and arrays of at most 100 objects ("stage" 1), all with the list's
// "type"; and the objects of the media items and playlists.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ipc_packet.h"
#include "utility/module/media/media_library.h"

class VadoModule;

// "type" of each list.
enum MediaListType : int32_t {
  kMediaRingtones = 1003,
  kMediaSongs = 1004,
  kMediaMovies = 1005,
  kMediaTvShows = 1006,
  kMediaMusicVideos = 1007,
  kMediaBooks = 1008,
  kMediaPlaylists = 1009,
  kMediaPlaylistItems = 1010,
  kMediaVoiceMemos = 1002,
};

class MediaListSender {
 public:
  static constexpr size_t kArraySize = 100;

  MediaListSender(VadoModule& module, const bas::IPCPacket1& request, std::string uuid)
      : module_(module), request_(request), uuid_(std::move(uuid)) {}

  // The count message, then the arrays; `render(i, out)` appends object i's JSON.
  // `cancelled` is asked before each array; false when it said so.
  bool SendList(int32_t type, size_t count,
                const std::function<void(size_t, std::string*)>& render,
                const std::function<bool()>& cancelled = nullptr);
  // One message with the given stage, type, "info" (raw JSON) and payload.
  void Send(int32_t stage, int32_t type, std::string info, std::string_view body);

 private:
  VadoModule& module_;
  const bas::IPCPacket1& request_;
  std::string uuid_;
};

void AppendMediaItemJson(const MediaItem& item, std::string* out);
void AppendPlaylistJson(const MediaPlaylist& playlist, std::string* out);
// {"Playlist":<pid>,"item_pids":[…]}
std::string PlaylistItemsJson(int64_t playlist_pid, const std::vector<int64_t>& item_pids);
