// Checks on the identifier a device reports for itself ("UniqueDeviceID"). The identifier
// names local folders (backups) and is matched against request "uuid"s, so a device that
// reports anything but a plain identifier, or another device's, is refused.
#pragma once

#include <string>
#include <string_view>

// Shortest and longest identifier accepted (older devices: 40 hexadecimal digits; newer:
// 8 digits, a dash and 16 digits).
inline constexpr size_t kMinDeviceIdLength = 8;
inline constexpr size_t kMaxDeviceIdLength = 64;

// Hexadecimal digits and dashes only, of a sane length, not starting with a dash.
bool IsDeviceIdentifier(std::string_view text);

// True when `reported` is an identifier and names the device the usb multiplexer attached
// as `mux_serial` (compared without regard to case; the multiplexer writes a 24-digit
// serial with a dash after the eighth digit). An unknown `mux_serial` (empty) only checks
// the form.
bool AcceptDeviceIdentifier(std::string_view reported, std::string_view mux_serial);
