// One line of plain text for the agent messages a person watches for: device arrivals
// and departures and status notifications.
#pragma once

#include <optional>
#include <string>

#include "frontend_link.h"

namespace vadoctl {

// A status notification about a device that cannot be used yet (not trusted, locked, ...).
bool IsDeviceProblem(const AgentMessage& message);

// Nothing for messages without a readable form (results, progress, data).
std::optional<std::string> DescribeMessage(const AgentMessage& message);

}  // namespace vadoctl
