// Reads a device file over AFC in small blocks, so that a cancel is seen within one block
// even on a slow link, and never past a size bound.
#pragma once

#include <cstdint>
#include <string>

#include "iOSAPI/mobile_device_api.h"

class DhTask;

// Reads `device_path` into the local file `local_path` (when not empty) or into `bytes`.
// False when the device file cannot be opened or read, holds more than `max_bytes`, the
// local file cannot be written (a partial one is removed), or `task` is cancelled.
bool ReadPhotoFile(AFCConnectionRef afc, const std::string& device_path,
                   const std::string& local_path, std::string* bytes, int64_t max_bytes,
                   DhTask* task);
