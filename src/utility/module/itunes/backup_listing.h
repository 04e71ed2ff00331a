// Finding backups in folders and describing them for the front end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

// A folder is a backup when Info.plist, Manifest.plist and Status.plist are in it and
// Info.plist can be read. `folder` ends with '/'.
std::optional<rapidjson::Document> DescribeBackup(const std::string& folder);

// The backups a listing folder stands for: the folder itself when it is a backup,
// otherwise each of its subfolders that is one. Folders end with '/'.
std::vector<std::string> FindBackups(const std::string& folder);

// Total bytes of all regular files below `folder`.
int64_t FolderSize(const std::string& folder);
