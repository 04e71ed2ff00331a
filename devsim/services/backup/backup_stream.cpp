#include "services/backup/backup_stream.h"

#include <algorithm>
#include <vector>

namespace devsim {
namespace {

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t GetBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

}  // namespace

bool StreamWriter::Name(std::string_view name) {
  if (name.empty() || name.size() > kMaxStreamName) return false;
  uint8_t len[4];
  PutBe32(len, static_cast<uint32_t>(name.size()));
  return out_.WriteTwo(len, sizeof len, name.data(), name.size());
}

bool StreamWriter::Data(const char* bytes, size_t len) {
  while (len > 0) {
    size_t n = std::min(len, kUploadChunk);
    uint8_t hdr[5];
    PutBe32(hdr, static_cast<uint32_t>(n + 1));
    hdr[4] = kChunkData;
    if (!out_.WriteTwo(hdr, sizeof hdr, bytes, n)) return false;
    bytes += n;
    len -= n;
  }
  return true;
}

bool StreamWriter::End(ChunkCode code, std::string_view text) {
  uint8_t hdr[5];
  PutBe32(hdr, static_cast<uint32_t>(text.size() + 1));
  hdr[4] = code;
  return out_.WriteTwo(hdr, sizeof hdr, text.data(), text.size());
}

bool StreamWriter::EndList() {
  uint8_t zero[4] = {0, 0, 0, 0};
  return out_.WriteAll(zero, sizeof zero);
}

NameRead StreamReader::ReadName(std::string* name) {
  uint8_t len[4];
  if (!in_.ReadExact(len, sizeof len)) return NameRead::kBad;
  uint32_t n = GetBe32(len);
  if (n == 0) return NameRead::kEndOfList;
  if (n > kMaxStreamName) return NameRead::kBad;
  name->resize(n);
  if (!in_.ReadExact(name->data(), n)) return NameRead::kBad;
  return NameRead::kName;
}

FileRead StreamReader::ReadFile(const Sink& sink, std::string* error) {
  std::vector<char> buf(64 * 1024);
  bool sink_ok = true;
  for (;;) {
    uint8_t hdr[5];
    if (!in_.ReadExact(hdr, 4)) return FileRead::kBad;
    uint32_t len = GetBe32(hdr);
    // Every chunk has its code byte; a zero length here would be a list end mid-file.
    if (len == 0) return FileRead::kBad;
    if (!in_.ReadExact(hdr + 4, 1)) return FileRead::kBad;
    uint32_t payload = len - 1;
    uint8_t code = hdr[4];
    if (code == kChunkData) {
      while (payload > 0) {
        size_t n = std::min<size_t>(payload, buf.size());
        if (!in_.ReadExact(buf.data(), n)) return FileRead::kBad;
        if (sink_ok) sink_ok = sink(buf.data(), n);
        payload -= static_cast<uint32_t>(n);
      }
      continue;
    }
    if (code == kChunkSuccess) {
      if (payload != 0) return FileRead::kBad;
      return sink_ok ? FileRead::kOk : FileRead::kSinkFailed;
    }
    if (code != kChunkHostError && code != kChunkDeviceError) return FileRead::kBad;
    if (payload > kMaxErrorText) return FileRead::kBad;
    error->resize(payload);
    if (!in_.ReadExact(error->data(), payload)) return FileRead::kBad;
    return code == kChunkHostError ? FileRead::kHostError : FileRead::kDeviceError;
  }
}

}  // namespace devsim
