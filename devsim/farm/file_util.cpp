#include "farm/file_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <fstream>
#include <sstream>

namespace devsim {

std::optional<std::string> ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFileAtomic(const fs::path& path, std::string_view bytes) {
  static std::atomic<unsigned> counter{0};
  fs::path tmp = path;
  tmp += ".tmp" + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n <= 0) {
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

Plist ReadPlistFile(const fs::path& path) {
  auto bytes = ReadWholeFile(path);
  if (!bytes) return nullptr;
  return ParsePlist(*bytes);
}

bool WritePlistFile(const fs::path& path, plist_t node) {
  return WriteFileAtomic(path, ToXml(node));
}

bool IsSafeIdentifier(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
  }
  return true;
}

}  // namespace devsim
