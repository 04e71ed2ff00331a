// Copy-out: device items (files, folders, EPUB packages) into folders on the computer.
// The local name comes from the item's name and the device path's extension, with every
// byte that could name another folder or a device replaced, so the target always lies
// directly inside the chosen local folder.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "iOSAPI/mobile_device_api.h"

class DhTask;

// The item name as one safe local path component: bytes below 0x20, 0x7F and each of
// \ / : * ? " < | become '_'.
std::string SanitizeLocalName(const std::string& name);

// The extension of the device path's last component (from its last '.'), sanitized;
// empty when that component has no '.'.
std::string DeviceExtension(const std::string& device_path);

// local_folder / (sanitized name + extension). A name that would be empty, "." or ".."
// is prefixed with '_'.
std::filesystem::path CopyOutTarget(const std::string& name, const std::string& device_path,
                                    const std::filesystem::path& local_folder);

// Packs every regular file below `folder` into a zip archive at `zip_path`, entry names
// relative to `folder` with '/' separators. False when any file cannot be read or written.
bool ZipFolder(const std::filesystem::path& folder, const std::filesystem::path& zip_path);

// Copies one item; `copied` gets the local target of an item that was copied. False when
// the item was skipped or failed.
bool CopyOutItem(AFCConnectionRef afc, const std::string& name, const std::string& device_path,
                 const std::filesystem::path& local_folder, DhTask* task,
                 std::filesystem::path* copied);
