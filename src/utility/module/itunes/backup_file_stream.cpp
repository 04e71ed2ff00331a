#include "utility/module/itunes/backup_file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glog/logging.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "common/big_endian.h"
#include "common/plist_message.h"

namespace {

// Device file names are paths; anything longer than this is a broken stream.
constexpr uint32_t kMaxNameBytes = 65536;
// At most this much of a device error text is kept for the log.
constexpr size_t kMaxErrorText = 4096;

constexpr int64_t kStreamError = 2;
constexpr char kStreamErrorText[] = "Task error.";

bool ReadLength(AMDServiceConnectionRef connection, uint32_t* length) {
  uint8_t bytes[4];
  if (!ReceiveServiceBytes(connection, bytes, sizeof bytes)) return false;
  *length = ReadBigEndian32(bytes);
  return true;
}

// A name record; false on a broken stream. An empty name ends the list.
bool ReadName(AMDServiceConnectionRef connection, std::string* name) {
  uint32_t length = 0;
  if (!ReadLength(connection, &length) || length > kMaxNameBytes) return false;
  name->resize(length);
  return length == 0 ||
         ReceiveServiceBytes(connection, reinterpret_cast<uint8_t*>(name->data()), length);
}

struct ChunkHeader {
  uint32_t length = 0;  // counts the code byte; 0 ends the file
  uint8_t code = 0;
};

bool ReadChunkHeader(AMDServiceConnectionRef connection, ChunkHeader* header) {
  if (!ReadLength(connection, &header->length)) return false;
  if (header->length == 0) return true;
  return ReceiveServiceBytes(connection, &header->code, 1);
}

// Moves `count` bytes from the connection to `fd` (or drops them when fd < 0).
bool CopyPayload(AMDServiceConnectionRef connection, uint64_t count, int fd, uint8_t* buffer,
                 bool* write_failed, const std::function<void()>& moved) {
  while (count > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, kFilePieceBytes));
    if (!ReceiveServiceBytes(connection, buffer, piece)) return false;
    if (moved) moved();
    if (fd >= 0 && !*write_failed) {
      size_t done = 0;
      while (done < piece) {
        ssize_t n = ::write(fd, buffer + done, piece - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          *write_failed = true;
          break;
        }
        done += static_cast<size_t>(n);
      }
    }
    count -= piece;
  }
  return true;
}

bool ReadErrorText(AMDServiceConnectionRef connection, uint64_t count, uint8_t* buffer,
                   std::string* text) {
  while (count > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, kFilePieceBytes));
    if (!ReceiveServiceBytes(connection, buffer, piece)) return false;
    if (text->size() < kMaxErrorText) {
      text->append(reinterpret_cast<char*>(buffer),
                   std::min(piece, kMaxErrorText - text->size()));
    }
    count -= piece;
  }
  return true;
}

ReceiveResult Failed(ReceiveResult result, std::string message) {
  result.code = kStreamError;
  result.message = std::move(message);
  return result;
}

bool SendChunk(AMDServiceConnectionRef connection, uint8_t code, const void* data, size_t size) {
  uint8_t header[5];
  WriteBigEndian32(static_cast<uint32_t>(size + 1), header);
  header[4] = code;
  return SendServiceBytes(connection, header, sizeof header) &&
         (size == 0 || SendServiceBytes(connection, static_cast<const uint8_t*>(data), size));
}

bool SendName(AMDServiceConnectionRef connection, const std::string& name) {
  uint8_t header[4];
  WriteBigEndian32(static_cast<uint32_t>(name.size()), header);
  return SendServiceBytes(connection, header, sizeof header) &&
         SendServiceBytes(connection, reinterpret_cast<const uint8_t*>(name.data()), name.size());
}

int SendErrorChunk(AMDServiceConnectionRef connection, int error) {
  const char* text = std::strerror(error);
  if (!SendChunk(connection, kChunkLocalError, text, std::strlen(text))) {
    LOG(INFO) << "could not send message  ";
  }
  return -1;
}

}  // namespace

ReceiveResult ReceiveFiles(AMDServiceConnectionRef connection, const ReceiveHooks& hooks) {
  ReceiveResult result;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kFilePieceBytes]);
  for (;;) {
    if (hooks.check) {
      if (int64_t code = hooks.check(); code != 0) {
        result.code = code;
        return result;
      }
    }
    std::string device_name, device_path;
    if (!ReadName(connection, &device_name)) return Failed(result, kStreamErrorText);
    if (device_name.empty()) return result;
    if (!ReadName(connection, &device_path)) return Failed(result, kStreamErrorText);
    if (device_path.empty()) return result;

    std::optional<std::string> local = hooks.map_path(device_path);
    if (!local) {
      LOG(WARNING) << "refused device path " << device_path;
      return Failed(result, "RefusedDevicePath");
    }
    const bool keep = !hooks.keep || hooks.keep(*local);
    ChunkHeader chunk;
    if (!ReadChunkHeader(connection, &chunk)) return Failed(result, kStreamErrorText);

    int fd = -1;
    if (keep) {
      std::error_code ignored;
      std::filesystem::create_directories(std::filesystem::path(*local).parent_path(), ignored);
      fd = ::open(local->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0) PLOG(WARNING) << "cannot create " << *local;
    }
    bool write_failed = keep && fd < 0;
    bool stream_ok = true;
    while (chunk.length != 0 && chunk.code == kChunkData) {
      result.bytes += chunk.length - 1u;
      if (!CopyPayload(connection, chunk.length - 1u, fd, buffer.get(), &write_failed,
                       hooks.moved) ||
          !ReadChunkHeader(connection, &chunk)) {
        stream_ok = false;
        break;
      }
    }
    if (stream_ok && chunk.length != 0) {
      std::string text;
      stream_ok = ReadErrorText(connection, chunk.length - 1u, buffer.get(), &text);
      if (stream_ok && chunk.code == kChunkRemoteError) {
        std::fprintf(stderr, "\nReceived an error message from device: %s\n", text.c_str());
      }
    }
    if (fd >= 0 && ::close(fd) != 0) write_failed = true;
    if (!stream_ok || write_failed) {
      // A file cut short or not written whole must not look like a backed-up file.
      if (keep) ::unlink(local->c_str());
      return Failed(result, stream_ok ? "FileWriteError" : kStreamErrorText);
    }
    ++result.files;
  }
}

int SendFile(AMDServiceConnectionRef connection, const std::string& device_path,
             const std::string& local_path, const std::function<void()>& moved,
             int* error_number) {
  *error_number = 0;
  if (!SendName(connection, device_path)) return -1;
  struct stat info {};
  if (::stat(local_path.c_str(), &info) != 0) {
    *error_number = errno;
    if (*error_number != ENOENT) {
      LOG(INFO) << "stat failed on '" << local_path << "': " << *error_number;
    }
    return SendErrorChunk(connection, *error_number);
  }
  const int fd = ::open(local_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error_number = errno;
    LOG(INFO) << "stat failed on '" << local_path << "': " << *error_number;
    return SendErrorChunk(connection, *error_number);
  }
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kFilePieceBytes]);
  for (;;) {
    ssize_t got = ::read(fd, buffer.get(), kFilePieceBytes);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error_number = errno;
      LOG(INFO) << "read error ";
      ::close(fd);
      return SendErrorChunk(connection, *error_number);
    }
    if (got == 0) break;
    if (!SendChunk(connection, kChunkData, buffer.get(), static_cast<size_t>(got))) {
      LOG(INFO) << "Error: sent only  " << 0 << " of " << got + 1 << " bytes";
      ::close(fd);
      return -1;
    }
    if (moved) moved();
  }
  ::close(fd);
  return SendChunk(connection, kChunkSuccess, nullptr, 0) ? 0 : -1;
}

int DeviceLinkFileError(int error_number) {
  switch (error_number) {
    case ENOENT: return -6;
    case EEXIST: return -7;
    case ENOTDIR: return -8;
    case EISDIR: return -9;
    case ELOOP: return -10;
    case EIO: return -11;
    case ENOSPC: return -15;
    default: return -1;
  }
}

bool SendMissingFile(AMDServiceConnectionRef connection, const std::string& name) {
  static constexpr char kMissing[] = "No such file or directory";
  return SendName(connection, name) &&
         SendChunk(connection, kChunkLocalError, kMissing, sizeof kMissing - 1) &&
         SendEndOfList(connection);
}

bool SendEndOfList(AMDServiceConnectionRef connection) {
  const uint8_t zero[4] = {0, 0, 0, 0};
  return SendServiceBytes(connection, zero, sizeof zero);
}
