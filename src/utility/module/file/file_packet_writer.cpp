#include "utility/module/file/file_packet_writer.h"

#include <atomic>

#include "common/afc_file_ops.h"
#include "iOSAPI/MobileExportFun.h"

namespace {

constexpr uint64_t kModeWrite = 2;
// A journal is a few dozen bytes per block; anything far larger is not one of ours.
constexpr int64_t kMaxJournalSize = 16 << 20;

std::atomic<int> g_open_transfer_files{0};


bool Exists(AFCConnectionRef afc, const std::string& path, AfcFileInfo* info = nullptr) {
  AfcFileInfo scratch;
  return GetFileInfo(afc, path, info != nullptr ? info : &scratch);
}

}  // namespace

int OpenTransferFileCount() { return g_open_transfer_files.load(); }

std::string UniqueDevicePath(AFCConnectionRef afc, const std::string& path) {
  if (!Exists(afc, path)) return path;
  size_t dot = path.rfind('.');
  size_t slash = path.rfind('/');
  if (dot == std::string::npos || slash == std::string::npos) return path;
  std::string folder = path.substr(0, slash + 1);
  std::string stem;
  std::string extension;
  if (dot > slash) {
    stem = path.substr(slash + 1, dot - slash - 1);
    extension = path.substr(dot);
  } else {
    // The last dot belongs to a folder name: the file has no extension of its own.
    stem = path.substr(slash + 1);
  }
  for (int n = 1;; ++n) {
    std::string candidate = folder + stem + "(" + std::to_string(n) + ")" + extension;
    if (!Exists(afc, candidate)) return candidate;
  }
}

bool FilePacketWriter::WriteJournal() {
  if (header_.path_project.empty()) return true;
  CMobileExportFun& fun = Fun();
  AFCConnectionRef afc = header_.service->afc();
  AFCFileRef file = 0;
  if (afc == nullptr) return false;
  if (fun.AFCFileRefOpen(afc, header_.path_project.c_str(), kModeWrite, &file) != 0 || file == 0) {
    return false;
  }
  std::string text;
  {
    std::lock_guard<std::mutex> lock(table_mutex_);
    text = JournalJson(header_);
  }
  bool ok = fun.AFCFileRefWrite(afc, file, text.data(), text.size()) == 0;
  // The open mode keeps old bytes: cut whatever an older, longer journal left behind.
  ok = fun.AFCFileRefSetFileSize(afc, file, text.size()) == 0 && ok;
  ok = fun.AFCFileRefClose(afc, file) == 0 && ok;
  return ok;
}

void FilePacketWriter::LoadJournal() {
  AFCConnectionRef afc = header_.service->afc();
  AfcFileInfo info;
  std::string text;
  std::string version;
  int64_t size = 0;
  BlockTable blocks;
  if (!Exists(afc, header_.path_project, &info) || info.size > kMaxJournalSize ||
      !CopyFileFromDevice(afc, header_.path_project, nullptr, &text) ||
      !ParseJournal(text, &version, &size, &blocks)) {
    WriteJournal();
    return;
  }
  // A journal of another file size, or one whose blocks leave the file, describes some
  // other upload: keep the table the sender gave.
  if (size == header_.size && !blocks.empty() && BlocksWithinFile(blocks, header_.size)) {
    header_.blocks = std::move(blocks);
  }
}

int FilePacketWriter::Open(FileHeader header) {
  header_ = std::move(header);
  if (!header_.service || header_.service->afc() == nullptr || header_.path.empty() ||
      header_.size < 0 || !BlocksWithinFile(header_.blocks, header_.size)) {
    return kFileStepFailed;
  }
  CMobileExportFun& fun = Fun();
  AFCConnectionRef afc = header_.service->afc();
  AfcFileInfo info;
  bool reuse = Exists(afc, header_.path, &info) && info.type == "S_IFREG" && info.size == header_.size;
  if (!reuse) {
    // No staging file yet, or one of another size left by some other upload: start it
    // afresh at the full size.
    AFCFileRef file = 0;
    if (fun.AFCFileRefOpen(afc, header_.path.c_str(), kModeWrite, &file) != 0 || file == 0) {
      return kFileStepFailed;
    }
    bool sized = fun.AFCFileRefSetFileSize(afc, file, static_cast<uint64_t>(header_.size)) == 0;
    fun.AFCFileRefClose(afc, file);
    staged_ = true;
    if (!sized || !WriteJournal()) return kFileStepFailed;
  } else {
    staged_ = true;
    if (!header_.path_project.empty()) LoadJournal();
  }
  AFCFileRef file = 0;
  if (fun.AFCFileRefOpen(afc, header_.path.c_str(), kModeWrite, &file) != 0 || file == 0) {
    return kFileStepFailed;
  }
  header_.file = file;
  open_ = true;
  ++g_open_transfer_files;
  header_.path_source = UniqueDevicePath(afc, header_.path_source);
  return kFileStepReady;
}

bool FilePacketWriter::AllDone() const {
  std::lock_guard<std::mutex> lock(table_mutex_);
  return AllBlocksDone(header_.blocks);
}

std::optional<BlockEntry> FilePacketWriter::NextPending(const std::set<int64_t>& except) const {
  std::lock_guard<std::mutex> lock(table_mutex_);
  for (const auto& [key, block] : header_.blocks) {
    if (!block.done && except.count(block.id) == 0) return block;
  }
  return std::nullopt;
}

int FilePacketWriter::WriteBlock(const FilePacket& packet) {
  std::lock_guard<std::mutex> io_lock(write_mutex_);
  if (header_.file == 0) return kFileStepFailed;
  auto found = header_.blocks.find(BlockKey(packet.id));
  if (found == header_.blocks.end()) return kFileStepFailed;
  // Offsets and lengths never change after Open; only the done flags do.
  BlockEntry& block = found->second;
  if (block.offset != packet.offset || block.length != packet.length ||
      static_cast<uint64_t>(block.length) != packet.count || packet.data == nullptr ||
      block.offset > header_.size || block.length > header_.size - block.offset) {
    return kFileStepFailed;
  }
  CMobileExportFun& fun = Fun();
  AFCConnectionRef afc = header_.service->afc();
  if (afc == nullptr) return kFileStepFailed;
  if (fun.AFCFileRefSeek(afc, header_.file, packet.offset, 0) != 0 ||
      fun.AFCFileRefWrite(afc, header_.file, packet.data, packet.count) != 0) {
    return kFileStepFailed;
  }
  bool first_time = false;
  {
    std::lock_guard<std::mutex> table_lock(table_mutex_);
    if (!block.done) {
      block.received = block.length;
      block.done = 1;
      first_time = true;
    }
  }
  // Best effort: a stale journal only costs a resumed upload some blocks again.
  if (first_time) WriteJournal();
  return kFileStepReady;
}

bool FilePacketWriter::Close() {
  std::lock_guard<std::mutex> writing(write_mutex_);
  if (closed_) return false;
  closed_ = true;
  if (!header_.service) return false;
  CMobileExportFun& fun = Fun();
  AFCConnectionRef afc = header_.service->afc();
  if (header_.file != 0) {
    if (afc != nullptr) fun.AFCFileRefClose(afc, header_.file);
    header_.file = 0;
    open_ = false;
    --g_open_transfer_files;
  }
  if (!staged_ || afc == nullptr) return false;
  if (!header_.path_project.empty()) fun.AFCRemovePath(afc, header_.path_project.c_str());
  if (AllBlocksDone(header_.blocks) && !header_.path_source.empty() &&
      fun.AFCRenamePath(afc, header_.path.c_str(), header_.path_source.c_str()) == 0) {
    return true;
  }
  // An unfinished upload, or one the device would not put under its name (its journal is
  // gone already), leaves nothing behind.
  fun.AFCRemovePath(afc, header_.path.c_str());
  return false;
}
