// Small file helpers shared by the farm, the pair-record store and the device state.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "plist/plist_ptr.h"

namespace devsim {

namespace fs = std::filesystem;

std::optional<std::string> ReadWholeFile(const fs::path& path);
// Writes to a temporary file beside path and renames it over path, so a reader (or a crash)
// never sees half a file.
bool WriteFileAtomic(const fs::path& path, std::string_view bytes);

Plist ReadPlistFile(const fs::path& path);
bool WritePlistFile(const fs::path& path, plist_t node);

// UDIDs and pair-record ids become file names: letters, digits and '-' only, 1..64 characters.
bool IsSafeIdentifier(std::string_view id);

}  // namespace devsim
