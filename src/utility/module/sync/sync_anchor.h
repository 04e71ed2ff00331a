// The computer anchor sent when a data class is opened: local time and the zone offset,
// "YYYY-MM-DD hh:mm:ss +HH00" ("-HH00" west of UTC). The offset minutes are always 00.
#pragma once

#include <ctime>
#include <string>

// `local` is the broken-down local time, `utc_offset_seconds` local minus UTC.
std::string FormatSyncAnchor(const std::tm& local, long utc_offset_seconds);

// The anchor for the current moment.
std::string CurrentSyncAnchor();
