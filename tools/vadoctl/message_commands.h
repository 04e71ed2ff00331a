// vadoctl messages: the device's text-message conversations, as a readable list on a
// terminal (or one conversation's messages with --chat) and as JSON lines otherwise.
#pragma once

#include <string>
#include <vector>

#include "cli_options.h"
#include "device_session.h"

namespace vadoctl {

int RunMessagesCommand(DeviceSession& session, const CliOptions& options);

// The "command" value of a --via word: backup 0, snapshot 1, cached 2; -1 for others.
int MessagesWay(const std::string& via);

// Characters (code points) of UTF-8 `text`.
size_t CharCount(const std::string& text);

// At most `width` characters of UTF-8 `text` (line breaks as spaces), "…" when cut.
std::string ShortText(const std::string& text, size_t width);

}  // namespace vadoctl
