// Local files named after a device: its folder under the process's work folder and the
// copies of its databases in the temporary folder. A device identifier is used in a file
// name only when it is a plain file name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "iOSAPI/mobile_device_api.h"

class DhTask;

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

// Copies the device file `device_path` into `folder` as `local_name`, then each companion
// (`device_path` + suffix to `local_name` + suffix), whose failures are ignored. Local
// companions left by an earlier copy are removed first, so that a copy is never read with
// another copy's journal. The local path, or nothing when the main file was not copied.
std::optional<std::string> CopyDeviceFileWithCompanions(AFCConnectionRef afc,
                                                        const std::string& device_path,
                                                        const std::string& folder,
                                                        const std::string& local_name,
                                                        const std::vector<std::string>& suffixes,
                                                        DhTask* task = nullptr);
