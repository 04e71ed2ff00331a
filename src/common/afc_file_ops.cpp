#include "common/afc_file_ops.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "common/dh_task.h"
#include "common/number_parse.h"
#include "common/text_convert.h"
#include "iOSAPI/MobileExportFun.h"

namespace {

constexpr uint64_t kAfcModeRead = 1;
constexpr uint64_t kAfcModeReadWrite = 2;
constexpr int64_t kNanosecondsPerSecond = 1000000000;


std::string ChildPath(const std::string& folder, const char* name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

// A device entry name that may be used as one component of a PC path.
bool IsSafeEntryName(const char* name) {
  return name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
         std::strchr(name, '/') == nullptr && std::strchr(name, '\\') == nullptr;
}

// Calls `visit(child_path, name, info)` for every readable entry of `folder` except "."
// and "..", until `stop()` says so. False when the folder cannot be opened.
template <typename Visit, typename Stop>
bool WalkFolder(AFCConnectionRef afc, const std::string& folder, Visit visit, Stop stop) {
  CMobileExportFun& fun = Fun();
  AFCDirectoryRef directory = nullptr;
  if (fun.AFCDirectoryOpen(afc, folder.c_str(), &directory) != 0 || directory == nullptr) {
    return false;
  }
  char* name = nullptr;
  while (!stop() && fun.AFCDirectoryRead(afc, directory, &name) == 0 && name != nullptr) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    std::string child = ChildPath(folder, name);
    AfcFileInfo info;
    if (!GetFileInfo(afc, child, &info)) continue;
    visit(child, name, info);
  }
  fun.AFCDirectoryClose(afc, directory);
  return true;
}

template <typename Visit>
bool WalkFolder(AFCConnectionRef afc, const std::string& folder, Visit visit) {
  return WalkFolder(afc, folder, visit, [] { return false; });
}

std::filesystem::path PcPath(const std::u16string& path) {
  return std::filesystem::path(Utf16ToUtf8(path));
}

}  // namespace

uint8_t* TransferBuffer() {
  thread_local std::unique_ptr<uint8_t[]> buffer;
  if (!buffer) buffer.reset(new uint8_t[kAfcTransferChunk]);
  return buffer.get();
}

bool GetFileInfo(AFCConnectionRef afc, const std::string& path, AfcFileInfo* info) {
  CMobileExportFun& fun = Fun();
  AFCDictionaryRef pairs = nullptr;
  if (fun.AFCFileInfoOpen(afc, path.c_str(), &pairs) != 0 || pairs == nullptr) return false;
  char* key = nullptr;
  char* value = nullptr;
  while (fun.AFCKeyValueRead(pairs, &key, &value) == 0 && key != nullptr) {
    const char* text = value != nullptr ? value : "";
    if (std::strcmp(key, "st_nlink") == 0) {
      info->link_count = static_cast<uint32_t>(ParseLeadingInt(text));
    } else if (std::strcmp(key, "st_blocks") == 0) {
      info->blocks = static_cast<uint32_t>(ParseLeadingInt(text));
    } else if (std::strcmp(key, "st_size") == 0) {
      info->size = ParseLeadingInt64(text);
    } else if (std::strcmp(key, "st_birthtime") == 0) {
      info->birth_time = ParseLeadingInt64(text) / kNanosecondsPerSecond;
    } else if (std::strcmp(key, "st_mtime") == 0) {
      info->modification_time = ParseLeadingInt64(text) / kNanosecondsPerSecond;
    } else if (std::strcmp(key, "st_ifmt") == 0) {
      info->type = text;
    } else if (std::strcmp(key, "LinkTarget") == 0) {
      info->link_mark = "LinkTarget";
    }
  }
  fun.AFCKeyValueClose(pairs);
  return true;
}

bool RemovePath(AFCConnectionRef afc, const std::string& path) {
  return Fun().AFCRemovePath(afc, path.c_str()) == 0;
}

bool ListFolderNames(AFCConnectionRef afc, const std::string& folder,
                     std::vector<std::string>* names) {
  CMobileExportFun& fun = Fun();
  AFCDirectoryRef directory = nullptr;
  if (fun.AFCDirectoryOpen(afc, folder.c_str(), &directory) != 0 || directory == nullptr) {
    return false;
  }
  char* name = nullptr;
  while (fun.AFCDirectoryRead(afc, directory, &name) == 0 && name != nullptr) {
    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) names->push_back(name);
  }
  fun.AFCDirectoryClose(afc, directory);
  return true;
}

bool MakeDirectory(AFCConnectionRef afc, const std::string& path) {
  AfcFileInfo info;
  if (GetFileInfo(afc, path, &info) && info.type == "S_IFDIR") return true;
  return Fun().AFCDirectoryCreate(afc, path.c_str()) == 0;
}

bool RemoveTree(AFCConnectionRef afc, const std::string& folder, bool remove_root, bool nested,
                DhTask* task) {
  AfcFileInfo info;
  if (!GetFileInfo(afc, folder, &info) || info.type != "S_IFDIR") return false;
  auto cancelled = [task] { return task != nullptr && IsCancelled(*task); };
  bool walked = WalkFolder(
      afc, folder,
      [&](const std::string& child, const char*, const AfcFileInfo& child_info) {
        if (child_info.type == "S_IFDIR") {
          RemoveTree(afc, child, remove_root, true, task);
        } else if (child_info.type == "S_IFREG") {
          RemovePath(afc, child);
        }
      },
      cancelled);
  if (!walked || cancelled()) return false;
  if (remove_root || nested) return RemovePath(afc, folder);
  return false;
}

bool CopyTreeToPc(AFCConnectionRef afc, const std::string& folder, const std::u16string& pc_folder) {
  AfcFileInfo info;
  if (!GetFileInfo(afc, folder, &info) || info.type != "S_IFDIR") return false;
  std::error_code error;
  std::filesystem::path target = PcPath(pc_folder);
  std::filesystem::create_directories(target, error);
  WalkFolder(afc, folder, [&](const std::string& child, const char* name,
                              const AfcFileInfo& child_info) {
    if (!IsSafeEntryName(name)) return;
    std::u16string child_pc = Utf8ToUtf16((target / name).string());
    if (child_pc.empty()) return;
    if (child_info.type == "S_IFDIR") {
      CopyTreeToPc(afc, child, child_pc);
    } else if (child_info.type == "S_IFREG") {
      CopyFileFromDevice(afc, child, &child_pc, nullptr);
    }
  });
  return false;
}

namespace {

// Whether the copy must stop for its task; checked before each block moves.
bool StopRequested(DhTask* task) { return task != nullptr && IsCancelled(*task); }

}  // namespace

bool CopyFileFromDevice(AFCConnectionRef afc, const std::string& path,
                        const std::u16string* pc_path, std::string* bytes, DhTask* task) {
  CMobileExportFun& fun = Fun();
  AfcFileInfo info;
  if (!GetFileInfo(afc, path, &info)) return false;
  AFCFileRef file = 0;
  if (fun.AFCFileRefOpen(afc, path.c_str(), kAfcModeRead, &file) != 0) return false;
  std::FILE* out = nullptr;
  if (pc_path != nullptr) {
    out = std::fopen(PcPath(*pc_path).c_str(), "wb");
    if (out == nullptr) {
      fun.AFCFileRefClose(afc, file);
      return false;
    }
  }
  uint8_t* buffer = TransferBuffer();
  bool ok = true;
  // The file is read to its end, not to the size its information gave: for a link that
  // size is the link's own, and the target may be longer or shorter.
  for (;;) {
    if (StopRequested(task)) {
      ok = false;
      break;
    }
    size_t length = kAfcTransferChunk;
    if (fun.AFCFileRefRead(afc, file, buffer, &length) != 0) {
      ok = false;  // a read error is not the end of the file
      break;
    }
    if (length == 0) break;
    if (length > kAfcTransferChunk) {
      ok = false;
      break;
    }
    if (out != nullptr) {
      if (std::fwrite(buffer, 1, length, out) != length) {
        ok = false;
        break;
      }
    } else if (bytes != nullptr) {
      bytes->append(reinterpret_cast<const char*>(buffer), length);
    }
  }
  fun.AFCFileRefClose(afc, file);
  if (out != nullptr) {
    if (std::fclose(out) != 0) ok = false;
    // A partial copy must not pass for the file.
    std::error_code error;
    if (!ok) std::filesystem::remove(PcPath(*pc_path), error);
  }
  return ok;
}

bool CopyFileToDevice(AFCConnectionRef afc, const std::u16string& pc_path, const std::string& path,
                      DhTask* task) {
  CMobileExportFun& fun = Fun();
  std::FILE* in = std::fopen(PcPath(pc_path).c_str(), "rb");
  if (in == nullptr) return false;
  AFCFileRef file = 0;
  if (fun.AFCFileRefOpen(afc, path.c_str(), kAfcModeReadWrite, &file) != 0) {
    std::fclose(in);
    return false;
  }
  uint8_t* buffer = TransferBuffer();
  uint64_t written = 0;
  bool ok = true;
  for (;;) {
    if (StopRequested(task)) {
      ok = false;
      break;
    }
    const size_t length = std::fread(buffer, 1, kAfcTransferChunk, in);
    if (length > 0 && fun.AFCFileRefWrite(afc, file, buffer, length) != 0) {
      ok = false;
      break;
    }
    written += length;
    if (length < kAfcTransferChunk) {
      if (std::ferror(in)) ok = false;
      break;
    }
  }
  std::fclose(in);
  // An existing longer device file must not keep its old tail.
  if (ok && fun.AFCFileRefSetFileSize(afc, file, written) != 0) ok = false;
  if (fun.AFCFileRefClose(afc, file) != 0) ok = false;
  return ok;
}
