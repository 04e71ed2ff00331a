// Folders that only this user may read or write: the log folder and the work folder live
// under the shared temporary folder, where another user could plant a link or a folder
// of their own at the expected path beforehand.
#pragma once

#include <string>

// Creates `path` with mode 0700, or accepts it when it already exists as a real folder
// (not a symbolic link) owned by this user, whose mode is then narrowed to 0700. False,
// with the reason, otherwise. The parent folder must exist.
bool MakePrivateFolder(const std::string& path, std::string* reason);

// Creates a fresh private folder under `parent` named `prefix` + six random characters;
// the path (no trailing separator), or empty when even that fails.
std::string MakeFreshPrivateFolder(const std::string& parent, const std::string& prefix);

// A folder name given on the command line is one plain component: not empty, not "." or
// "..", and without '/', '\\' or a NUL.
bool IsPlainFolderName(const std::string& name);
