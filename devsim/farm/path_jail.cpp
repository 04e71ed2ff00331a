#include "farm/path_jail.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace devsim {

void UniqueFd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

PathJail::PathJail(const std::filesystem::path& root)
    : root_(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

bool PathJail::Split(std::string_view path, std::vector<std::string>* parts) {
  parts->clear();
  if (path.find('\0') != std::string_view::npos) return false;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (part == "..") {
      if (parts->empty()) return false;
      parts->pop_back();
    } else if (!part.empty() && part != ".") {
      parts->emplace_back(part);
    }
    i = j + 1;
  }
  return true;
}

int PathJail::OpenParts(const std::vector<std::string>& parts, size_t count, int flags,
                        mode_t mode, UniqueFd* out) const {
  std::string rel;
  for (size_t i = 0; i < count; ++i) {
    if (!rel.empty()) rel += '/';
    rel += parts[i];
  }
  if (rel.empty()) rel.push_back('.');
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    long fd = syscall(SYS_openat2, root_.get(), rel.c_str(), &how, sizeof how);
    if (fd >= 0) {
      *out = UniqueFd(static_cast<int>(fd));
      return 0;
    }
    if (errno != EINTR && errno != EAGAIN) return errno;
  }
}

int PathJail::Parent(std::string_view path, UniqueFd* dir, std::string* name) const {
  std::vector<std::string> parts;
  if (!Split(path, &parts)) return EPERM;
  if (parts.empty()) {
    name->clear();
    return OpenParts(parts, 0, O_PATH | O_DIRECTORY, 0, dir);
  }
  *name = parts.back();
  return OpenParts(parts, parts.size() - 1, O_PATH | O_DIRECTORY, 0, dir);
}

int PathJail::Open(std::string_view path, int flags, mode_t mode, UniqueFd* out) const {
  std::vector<std::string> parts;
  if (!Split(path, &parts)) return EPERM;
  return OpenParts(parts, parts.size(), flags, mode, out);
}

}  // namespace devsim
