// Confines client paths to one folder. ".." that would climb above the root is refused;
// symbolic links are resolved by the kernel as if the root were "/" (openat2 with
// RESOLVE_IN_ROOT), so neither absolute targets nor ".." inside a link leave the folder.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

// Owns one file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.Release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset();

 private:
  int fd_ = -1;
};

class PathJail {
 public:
  // errno is set when the root cannot be opened (see valid()).
  explicit PathJail(const std::filesystem::path& root);
  bool valid() const { return root_.valid(); }
  int root_fd() const { return root_.get(); }

  // Splits a client path ("/a/b", "a//b/", "./a/../b") into components relative to the root.
  // False when ".." would climb above the root.
  static bool Split(std::string_view path, std::vector<std::string>* parts);

  // The folder that holds the path's last component, opened inside the root, and that
  // component's name. For the root itself `name` is empty and `dir` is the root. Returns 0
  // or an errno value.
  int Parent(std::string_view path, UniqueFd* dir, std::string* name) const;
  // Opens the path itself inside the root, following links within it. Returns 0 or errno.
  int Open(std::string_view path, int flags, mode_t mode, UniqueFd* out) const;

 private:
  int OpenParts(const std::vector<std::string>& parts, size_t count, int flags, mode_t mode,
                UniqueFd* out) const;
  UniqueFd root_;
};

}  // namespace devsim
