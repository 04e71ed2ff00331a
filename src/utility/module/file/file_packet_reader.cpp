#include "utility/module/file/file_packet_reader.h"

#include <algorithm>

#include "common/afc_file_ops.h"
#include "iOSAPI/MobileExportFun.h"

namespace {
constexpr uint64_t kModeRead = 1;
}  // namespace

bool FilePacketReader::Open(FileHeader header) {
  Close();
  if (!header.service || header.service->afc() == nullptr || header.block_size <= 0) return false;
  AFCConnectionRef afc = header.service->afc();
  AfcFileInfo info;
  if (!GetFileInfo(afc, header.path, &info) || info.size <= 0) return false;
  AFCFileRef file = 0;
  if (Fun().AFCFileRefOpen(afc, header.path.c_str(), kModeRead, &file) != 0 || file == 0) {
    return false;
  }
  header_ = std::move(header);
  header_.size = info.size;
  header_.md5 = "a";
  header_.file = file;
  MakeBlocks(&header_);
  return true;
}

bool FilePacketReader::ReadBlock(FilePacket* packet, uint8_t* buffer, size_t capacity) {
  packet->count = 0;
  std::lock_guard<std::mutex> lock(read_mutex_);
  if (header_.file == 0 || packet->length <= 0 || packet->offset < 0 || buffer == nullptr ||
      capacity == 0) {
    return false;
  }
  CMobileExportFun& fun = Fun();
  AFCConnectionRef afc = header_.service->afc();
  if (afc == nullptr) return false;
  size_t want = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(packet->length), capacity));
  if (fun.AFCFileRefSeek(afc, header_.file, packet->offset, 0) != 0) return false;
  // The device may hand a large read back in pieces; stop at the end of the file.
  size_t got = 0;
  while (got < want) {
    size_t length = want - got;
    if (fun.AFCFileRefRead(afc, header_.file, buffer + got, &length) != 0 || length == 0) break;
    got += length;
  }
  packet->count = got;
  return got != 0;
}

void FilePacketReader::Close() {
  if (header_.file != 0 && header_.service && header_.service->afc() != nullptr) {
    Fun().AFCFileRefClose(header_.service->afc(), header_.file);
  }
  header_.file = 0;
}
