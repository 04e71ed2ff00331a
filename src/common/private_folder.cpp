#include "common/private_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

bool MakePrivateFolder(const std::string& path, std::string* reason) {
  if (::mkdir(path.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) {
    *reason = path + ": cannot be created: " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    *reason = path + ": cannot be examined: " + std::strerror(errno);
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    *reason = path + " is a symbolic link";
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *reason = path + " is not a folder";
    return false;
  }
  if (info.st_uid != ::geteuid()) {
    *reason = path + " belongs to user " + std::to_string(info.st_uid);
    return false;
  }
  if ((info.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
    *reason = path + ": cannot be made private: " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string MakeFreshPrivateFolder(const std::string& parent, const std::string& prefix) {
  std::string base = parent;
  if (!base.empty() && base.back() != '/') base += '/';
  std::string pattern = base + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  // mkdtemp creates the folder with mode 0700 under a name nobody could predict.
  if (::mkdtemp(buffer.data()) == nullptr) return std::string();
  return std::string(buffer.data());
}

bool IsPlainFolderName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}
