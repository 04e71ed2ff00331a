// vadoctl media: the device's music, videos, playlists, books, ringtones and voice memos,
// as readable tables on a terminal and as one JSON object per line otherwise.
#pragma once

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

// media [songs|movies|tvshows|musicvideos|playlists|playlist PID|books|ringtones|memos];
// without a list name, the number of entries of each list of the library.
int RunMediaCommand(DeviceSession& session, const CliOptions& options);

}  // namespace vadoctl
