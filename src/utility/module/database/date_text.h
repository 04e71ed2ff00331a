// Local-time text of the 2001-based dates of device databases.
#pragma once

#include <cstdint>
#include <string>

// "YYYY-MM-DD hh:mm:ss" in local time for `value` seconds after 2001-01-01 00:00:00 UTC. A
// negative value counts as 0; a value that would lie after the year 3000 is taken as
// nanoseconds instead; one that is still too large gives "".
std::string DeviceDateText(int64_t value);
