// Local files named after a device: its folder under the process's work folder and the
// copies of its databases in the temporary folder. A device identifier is used in a file
// name only when it is a plain file name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Result of a request whose device identifier cannot name a local file.
inline constexpr int64_t kRefusedDeviceIdentifier = 24;

// True for a non-empty name of letters, digits, '-', '_' and '.', not "." or "..", at
// most 128 bytes.
bool IsPlainFileName(const std::string& name);

// The work folder + identifier + "/", created with its parents; nothing for an identifier
// that is not a plain file name.
std::optional<std::string> DeviceWorkFolder(const std::string& udid);

// The temporary folder + prefix + identifier + suffix; nothing for an identifier that is
// not a plain file name.
std::optional<std::string> DeviceTempFile(const std::string& prefix, const std::string& udid,
                                          const std::string& suffix);
