// File operations on a device's media partition over an AFC connection. Device paths are
// UTF-8 with '/' separators; PC paths are UTF-16. Failures are reported as false.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "iOSAPI/mobile_device_api.h"

class DhTask;

struct AfcFileInfo {
  uint32_t link_count = 0;
  uint32_t blocks = 0;
  int64_t size = 0;
  int64_t birth_time = 0;         // seconds (nanoseconds truncated)
  int64_t modification_time = 0;  // seconds (nanoseconds truncated)
  std::string type;               // "S_IFREG", "S_IFDIR", "S_IFLNK", ...
  std::string link_mark;          // "LinkTarget" when the entry is a link
};

// Size of the per-thread transfer buffer, and so of every chunk moved.
inline constexpr size_t kAfcTransferChunk = 4 * 1024 * 1024;

// The calling thread's transfer buffer of kAfcTransferChunk bytes, kept for the thread's
// life and shared by everything on the thread that moves device data in chunks.
uint8_t* TransferBuffer();

bool GetFileInfo(AFCConnectionRef afc, const std::string& path, AfcFileInfo* info);
bool RemovePath(AFCConnectionRef afc, const std::string& path);
// Creates the last component; true at once when it is already a folder.
bool MakeDirectory(AFCConnectionRef afc, const std::string& path);
// The entry names of a device folder, without "." and ".."; false when it cannot be opened.
bool ListFolderNames(AFCConnectionRef afc, const std::string& folder,
                     std::vector<std::string>* names);
// Removes everything below `folder` except links and other special entries. The folder
// itself goes too when `remove_root` or `nested` is set; otherwise the result is false
// (the folder is emptied but kept). A cancelled `task` stops it between entries (false).
bool RemoveTree(AFCConnectionRef afc, const std::string& folder, bool remove_root,
                bool nested = false, DhTask* task = nullptr);
// Copies a device folder into `pc_folder`. Entry names that could leave the PC folder
// ("..", ".", names holding a separator) are skipped. Always false: callers use it for
// its effect.
bool CopyTreeToPc(AFCConnectionRef afc, const std::string& folder, const std::u16string& pc_folder);
// Reads a whole device file, to its end (a link's target whatever the link's own size),
// into `pc_path`, or into `bytes` when `pc_path` is null. False when the device file
// cannot be opened or read, the PC file cannot be created or written (a partial PC file
// is removed), or `task` is cancelled between blocks (its status then says so).
bool CopyFileFromDevice(AFCConnectionRef afc, const std::string& path,
                        const std::u16string* pc_path, std::string* bytes,
                        DhTask* task = nullptr);
// Writes a PC file to the device; the device file ends up exactly as long as the PC file.
// False when the PC file cannot be read, a device write, the size setting or the close
// fails, or `task` is cancelled between blocks (its status then says so).
bool CopyFileToDevice(AFCConnectionRef afc, const std::u16string& pc_path, const std::string& path,
                      DhTask* task = nullptr);
