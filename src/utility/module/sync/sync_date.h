// Date texts of sync records. The device writes dates as UTC "YYYY-MM-DDThh:mm:ssZ";
// the front end gets local time "YYYY-MM-DD hh:mm:ss".
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// True when the whole text has the form YYYY-MM-DDThh:mm:ssZ (digits only).
bool IsUtcDateText(std::string_view text);

// Reads the fields at their fixed positions as UTC and prints them in local time. A text
// shorter than 19 characters, or a time that cannot be converted, gives "".
std::string UtcDateTextToLocal(std::string_view text);

// `when` as UTC "YYYY-MM-DDThh:mm:ssZ".
std::string FormatUtcDateText(std::time_t when);
