#include "services/afc/afc_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>

namespace devsim {

using namespace afc;

namespace {

void AppendPair(std::string* out, const std::string& k, const std::string& v) {
  out->append(k);
  out->push_back('\0');
  out->append(v);
  out->push_back('\0');
}

const char* TypeName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return "S_IFDIR";
    case S_IFLNK: return "S_IFLNK";
    case S_IFCHR: return "S_IFCHR";
    case S_IFBLK: return "S_IFBLK";
    case S_IFIFO: return "S_IFIFO";
    case S_IFSOCK: return "S_IFSOCK";
    default: return "S_IFREG";
  }
}

// True for a payload of zero bytes only (at least a page, so small writes stay plain).
bool IsZeroFill(std::string_view bytes) {
  if (bytes.size() < 4096 || bytes[0] != 0) return false;
  return std::memcmp(bytes.data(), bytes.data() + 1, bytes.size() - 1) == 0;
}

uint64_t Nanos(const statx_timestamp& t) {
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + t.tv_nsec;
}

// The bytes removing this entry gives back: a regular file's size when it is its last link.
uint64_t FreedBySessionRemoval(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink <= 1 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Removes everything below dirfd/name, then name itself; links are removed, never followed.
// Adds the bytes of removed files to `freed`.
int RemoveTree(int parent, const std::string& name, uint64_t* freed) {
  struct stat st{};
  if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) {
    if (unlinkat(parent, name.c_str(), 0) != 0) return errno;
    *freed += FreedBySessionRemoval(st);
    return 0;
  }
  int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return errno;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  int err = 0;
  for (const auto& n : names) {
    int r = RemoveTree(dirfd(d), n, freed);
    if (r != 0 && err == 0) err = r;
  }
  closedir(d);
  if (err != 0) return err;
  return unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

}  // namespace

uint64_t AfcStatusFromErrno(int err) {
  switch (err) {
    case 0: return kSuccess;
    case ENOENT:
    case ENOTDIR: return kObjectNotFound;
    case EEXIST: return kObjectExists;
    case ENOTEMPTY: return kUnknownError;  // what devices send for a non-empty folder
    case EISDIR: return kObjectIsDir;
    case EACCES:
    case EPERM:
    case EXDEV:
    case ELOOP: return kPermDenied;
    case ENOSPC:
    case EDQUOT: return kNoSpaceLeft;
    case EINVAL:
    case ENAMETOOLONG: return kInvalidArg;
    case EMFILE:
    case ENFILE:
    case ENOMEM: return kNoResources;
    case EBUSY: return kObjectBusy;
    case EWOULDBLOCK: return kOpWouldBlock;
    default: return kIoError;
  }
}

AfcSession::AfcSession(const std::filesystem::path& root, std::function<KeyValues()> device_info,
                       DataPartition* partition)
    : jail_(root), device_info_(std::move(device_info)), partition_(partition) {}

bool AfcSession::Resize(uint64_t before, uint64_t after) {
  if (!partition_) return true;
  if (after > before) return partition_->Grow(after - before);
  partition_->Shrink(before - after);
  return true;
}

void AfcSession::Handle(const Header& h, std::string_view data, std::string_view payload,
                        AfcReply* out) {
  out->body = {};
  uint64_t status = kSuccess;
  auto reply_data = [&](std::string_view body) {
    out->head = ReplyHeader(h.packet_num, kOpData, 0, body.size());
    out->body = body;
  };
  auto reply_u64 = [&](uint64_t op, uint64_t value) {
    out->head = ReplyHeader(h.packet_num, op, 0, 8);
    buf_.clear();
    AppendLe64(&buf_, value);
    out->body = buf_;
  };
  switch (h.operation) {
    case kOpReadDirectory:
      status = ReadDirectory(data);
      if (status == kSuccess) return reply_data(buf_);
      break;
    case kOpGetFileInfo:
      status = GetFileInfo(data);
      if (status == kSuccess) return reply_data(buf_);
      break;
    case kOpGetDeviceInfo:
      buf_.clear();
      for (const auto& [k, v] : device_info_()) AppendPair(&buf_, k, v);
      return reply_data(buf_);
    case kOpMakeDirectory: status = MakeDirectory(data); break;
    case kOpRemovePath: status = RemovePath(data, false); break;
    case kOpRemovePathAndContents: status = RemovePath(data, true); break;
    case kOpRenamePath: status = RenamePath(data); break;
    case kOpTruncateFile: status = TruncateFile(data); break;
    case kOpMakeLink: status = MakeLink(data); break;
    case kOpSetModTime: status = SetModTime(data); break;
    case kOpFileRefOpen: {
      uint64_t handle = 0;
      status = FileOpen(data, &handle);
      if (status == kSuccess) return reply_u64(kOpFileRefOpenResult, handle);
      break;
    }
    case kOpFileRefRead:
      status = FileRead(data);
      if (status == kSuccess) return reply_data(buf_);
      break;
    case kOpFileRefWrite: status = FileWrite(data, payload); break;
    case kOpFileRefSeek: status = FileSeek(data); break;
    case kOpFileRefTell: {
      uint64_t pos = 0;
      status = FileTell(data, &pos);
      if (status == kSuccess) return reply_u64(kOpFileRefTellResult, pos);
      break;
    }
    case kOpFileRefClose: status = FileClose(data); break;
    case kOpFileRefSetFileSize: status = FileSetSize(data); break;
    case kOpFileRefLock: status = FileLock(data); break;
    default: status = kOpNotSupported; break;
  }
  // STATUS: the code travels as 8 bytes of header data.
  out->head = ReplyHeader(h.packet_num, kOpStatus, 8, 0);
  AppendLe64(&out->head, status);
}

uint64_t AfcSession::ReadDirectory(std::string_view data) {
  std::string path;
  size_t next = 0;
  if (!ReadCString(data, 0, &path, &next)) return kInvalidArg;
  UniqueFd fd;
  int err = jail_.Open(path, O_RDONLY | O_DIRECTORY, 0, &fd);
  if (err) return AfcStatusFromErrno(err);
  DIR* d = fdopendir(fd.get());
  if (!d) return AfcStatusFromErrno(errno);
  fd.Release();
  buf_.clear();
  while (dirent* e = readdir(d)) {
    buf_.append(e->d_name);
    buf_.push_back('\0');
  }
  closedir(d);
  return kSuccess;
}

uint64_t AfcSession::ResolvePathArgument(std::string_view data, UniqueFd* dir, std::string* name) {
  std::string path;
  size_t next = 0;
  if (!ReadCString(data, 0, &path, &next)) return kInvalidArg;
  int err = jail_.Parent(path, dir, name);
  return err ? AfcStatusFromErrno(err) : kSuccess;
}

uint64_t AfcSession::GetFileInfo(std::string_view data) {
  UniqueFd dir;
  std::string name;
  if (uint64_t status = ResolvePathArgument(data, &dir, &name); status != kSuccess) return status;
  struct statx sx{};
  const char* target = name.empty() ? "" : name.c_str();
  int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
  if (statx(dir.get(), target, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    return AfcStatusFromErrno(errno);
  }
  // File systems without a birth time report the change time instead.
  uint64_t birth = (sx.stx_mask & STATX_BTIME) ? Nanos(sx.stx_btime) : Nanos(sx.stx_ctime);
  buf_.clear();
  AppendPair(&buf_, "st_size", std::to_string(sx.stx_size));
  AppendPair(&buf_, "st_blocks", std::to_string(sx.stx_blocks));
  AppendPair(&buf_, "st_nlink", std::to_string(sx.stx_nlink));
  AppendPair(&buf_, "st_ifmt", TypeName(sx.stx_mode));
  AppendPair(&buf_, "st_mtime", std::to_string(Nanos(sx.stx_mtime)));
  AppendPair(&buf_, "st_birthtime", std::to_string(birth));
  if (S_ISLNK(sx.stx_mode)) {
    char link[PATH_MAX];
    ssize_t n = readlinkat(dir.get(), name.c_str(), link, sizeof link - 1);
    if (n >= 0) AppendPair(&buf_, "LinkTarget", std::string(link, static_cast<size_t>(n)));
  }
  return kSuccess;
}

uint64_t AfcSession::MakeDirectory(std::string_view data) {
  UniqueFd dir;
  std::string name;
  if (uint64_t status = ResolvePathArgument(data, &dir, &name); status != kSuccess) return status;
  if (name.empty()) return kSuccess;  // the root exists
  if (mkdirat(dir.get(), name.c_str(), 0755) != 0) {
    // An existing folder is success, as on devices; an existing file is not.
    struct stat st{};
    if (errno == EEXIST && fstatat(dir.get(), name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode))
      return kSuccess;
    return AfcStatusFromErrno(errno);
  }
  return kSuccess;
}

uint64_t AfcSession::RemovePath(std::string_view data, bool recursive) {
  UniqueFd dir;
  std::string name;
  if (uint64_t status = ResolvePathArgument(data, &dir, &name); status != kSuccess) return status;
  if (name.empty()) return kPermDenied;  // the root itself stays
  if (recursive) {
    uint64_t freed = 0;
    int err = RemoveTree(dir.get(), name, &freed);
    Resize(freed, 0);
    return AfcStatusFromErrno(err);
  }
  struct stat st{};
  if (fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return AfcStatusFromErrno(errno);
  }
  int r = unlinkat(dir.get(), name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
  if (r != 0) return AfcStatusFromErrno(errno);
  Resize(FreedBySessionRemoval(st), 0);
  return kSuccess;
}

uint64_t AfcSession::RenamePath(std::string_view data) {
  std::string from, to, from_name, to_name;
  size_t next = 0;
  if (!ReadCString(data, 0, &from, &next) || !ReadCString(data, next, &to, &next)) {
    return kInvalidArg;
  }
  UniqueFd from_dir, to_dir;
  int err = jail_.Parent(from, &from_dir, &from_name);
  if (!err) err = jail_.Parent(to, &to_dir, &to_name);
  if (err) return AfcStatusFromErrno(err);
  if (from_name.empty() || to_name.empty()) return kPermDenied;
  // A file the rename replaces gives its bytes back.
  struct stat from_st{}, to_st{};
  bool replaces = fstatat(to_dir.get(), to_name.c_str(), &to_st, AT_SYMLINK_NOFOLLOW) == 0 &&
                  fstatat(from_dir.get(), from_name.c_str(), &from_st, AT_SYMLINK_NOFOLLOW) == 0 &&
                  from_st.st_ino != to_st.st_ino;
  if (renameat(from_dir.get(), from_name.c_str(), to_dir.get(), to_name.c_str()) != 0) {
    return AfcStatusFromErrno(errno);
  }
  if (replaces) Resize(FreedBySessionRemoval(to_st), 0);
  return kSuccess;
}

uint64_t AfcSession::TruncateFile(std::string_view data) {
  if (data.size() < 8) return kInvalidArg;
  uint64_t size = ReadLe64(data.data());
  std::string path;
  size_t next = 0;
  if (!ReadCString(data, 8, &path, &next)) return kInvalidArg;
  if (size > static_cast<uint64_t>(LLONG_MAX)) return kInvalidArg;
  UniqueFd fd;
  int err = jail_.Open(path, O_WRONLY, 0, &fd);
  if (err) return AfcStatusFromErrno(err);
  return SetSizeWithin(fd.get(), size);
}

uint64_t AfcSession::MakeLink(std::string_view data) {
  if (data.size() < 8) return kInvalidArg;
  uint64_t type = ReadLe64(data.data());
  std::string target, link, link_name;
  size_t next = 0;
  if (!ReadCString(data, 8, &target, &next) || !ReadCString(data, next, &link, &next)) {
    return kInvalidArg;
  }
  if (target.empty()) return kInvalidArg;
  UniqueFd link_dir;
  int err = jail_.Parent(link, &link_dir, &link_name);
  if (err) return AfcStatusFromErrno(err);
  if (link_name.empty()) return kObjectExists;
  if (type == 2) {
    // The text is stored as given; whatever it says is resolved inside the jail when used.
    return symlinkat(target.c_str(), link_dir.get(), link_name.c_str()) == 0
               ? kSuccess
               : AfcStatusFromErrno(errno);
  }
  if (type != 1) return kInvalidArg;
  UniqueFd target_dir;
  std::string target_name;
  err = jail_.Parent(target, &target_dir, &target_name);
  if (err) return AfcStatusFromErrno(err);
  if (target_name.empty()) return kPermDenied;
  return linkat(target_dir.get(), target_name.c_str(), link_dir.get(), link_name.c_str(), 0) == 0
             ? kSuccess
             : AfcStatusFromErrno(errno);
}

uint64_t AfcSession::SetModTime(std::string_view data) {
  if (data.size() < 8) return kInvalidArg;
  uint64_t ns = ReadLe64(data.data());
  std::string path, name;
  size_t next = 0;
  if (!ReadCString(data, 8, &path, &next)) return kInvalidArg;
  UniqueFd dir;
  int err = jail_.Parent(path, &dir, &name);
  if (err) return AfcStatusFromErrno(err);
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(ns / 1000000000ull);
  times[1].tv_nsec = static_cast<long>(ns % 1000000000ull);
  int flags = name.empty() ? 0 : AT_SYMLINK_NOFOLLOW;
  int r = name.empty() ? futimens(jail_.root_fd(), times)
                       : utimensat(dir.get(), name.c_str(), times, flags);
  return r == 0 ? kSuccess : AfcStatusFromErrno(errno);
}

uint64_t AfcSession::FileOpen(std::string_view data, uint64_t* handle) {
  if (data.size() < 8) return kInvalidArg;
  uint64_t mode = ReadLe64(data.data());
  std::string path;
  size_t next = 0;
  if (!ReadCString(data, 8, &path, &next)) return kInvalidArg;
  static const int kFlags[] = {0,
                               O_RDONLY,
                               O_RDWR | O_CREAT,
                               O_WRONLY | O_CREAT | O_TRUNC,
                               O_RDWR | O_CREAT | O_TRUNC,
                               O_WRONLY | O_APPEND | O_CREAT,
                               O_RDWR | O_APPEND | O_CREAT};
  if (mode < 1 || mode > 6) return kInvalidArg;
  if (files_.size() >= kMaxOpenFiles) return kNoResources;
  std::vector<std::string> parts;
  if (!PathJail::Split(path, &parts)) return kPermDenied;
  if (parts.empty()) return kObjectIsDir;
  UniqueFd fd;
  // Truncation happens after the open, so the bytes it frees are known.
  const bool truncate = (kFlags[mode] & O_TRUNC) != 0;
  int err = jail_.Open(path, kFlags[mode] & ~O_TRUNC, 0644, &fd);
  if (err) return AfcStatusFromErrno(err);
  struct stat st{};
  if (fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) return kObjectIsDir;
  if (truncate && S_ISREG(st.st_mode) && st.st_size > 0) {
    if (ftruncate(fd.get(), 0) != 0) return AfcStatusFromErrno(errno);
    Resize(static_cast<uint64_t>(st.st_size), 0);
  }
  *handle = next_handle_++;
  files_[*handle].fd = std::move(fd);
  return kSuccess;
}

AfcSession::OpenFile* AfcSession::FindHandle(std::string_view data) {
  if (data.size() < 8) return nullptr;
  auto it = files_.find(ReadLe64(data.data()));
  return it == files_.end() ? nullptr : &it->second;
}

uint64_t AfcSession::FileRead(std::string_view data) {
  OpenFile* f = FindHandle(data);
  if (!f) return kInvalidArg;
  if (data.size() < 16) return kInvalidArg;
  uint64_t want = ReadLe64(data.data() + 8);
  if (want > kMaxReadChunk) want = kMaxReadChunk;
  buf_.resize(want);
  size_t got = 0;
  while (got < want) {
    ssize_t n = read(f->fd.get(), buf_.data() + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return AfcStatusFromErrno(errno);
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  buf_.resize(got);
  return kSuccess;
}

uint64_t AfcSession::FileWrite(std::string_view data, std::string_view payload) {
  OpenFile* f = FindHandle(data);
  if (!f) return kInvalidArg;
  const int fd = f->fd.get();
  struct stat st{};
  if (fstat(fd, &st) != 0) return AfcStatusFromErrno(errno);
  const uint64_t old_size = static_cast<uint64_t>(st.st_size);
  const bool append = (fcntl(fd, F_GETFL) & O_APPEND) != 0;
  const off_t pos = append ? st.st_size : lseek(fd, 0, SEEK_CUR);
  if (pos < 0) return AfcStatusFromErrno(errno);
  if (payload.size() > static_cast<uint64_t>(LLONG_MAX) - static_cast<uint64_t>(pos)) {
    return kInvalidArg;
  }
  const uint64_t end = static_cast<uint64_t>(pos) + payload.size();
  // The whole write fits or none of it is stored, as a full device answers.
  if (!Resize(old_size, std::max(old_size, end))) return kNoSpaceLeft;
  uint64_t status = kSuccess;
  if (static_cast<uint64_t>(pos) >= old_size && IsZeroFill(payload)) {
    // Zeros past the end are kept as a hole: they read back as zeros and cost no host disk,
    // so a free-space wipe of gigabytes stays cheap.
    if (ftruncate(fd, static_cast<off_t>(end)) != 0 ||
        lseek(fd, static_cast<off_t>(end), SEEK_SET) < 0) {
      status = AfcStatusFromErrno(errno);
    }
  } else {
    const char* p = payload.data();
    size_t left = payload.size();
    while (left > 0) {
      ssize_t n = write(fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        status = n < 0 ? AfcStatusFromErrno(errno) : kWriteError;
        break;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
  if (status != kSuccess) {
    // Give back what the failed write reserved but did not store.
    struct stat after{};
    uint64_t now = fstat(fd, &after) == 0 ? static_cast<uint64_t>(after.st_size) : old_size;
    Resize(std::max(old_size, end), std::max(old_size, now));
  }
  return status;
}

uint64_t AfcSession::SetSizeWithin(int fd, uint64_t size) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return AfcStatusFromErrno(errno);
  const uint64_t old_size = static_cast<uint64_t>(st.st_size);
  if (!Resize(old_size, size)) return kNoSpaceLeft;
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int err = errno;
    Resize(size, old_size);
    return AfcStatusFromErrno(err);
  }
  return kSuccess;
}

uint64_t AfcSession::FileSeek(std::string_view data) {
  OpenFile* f = FindHandle(data);
  if (!f || data.size() < 24) return kInvalidArg;
  uint64_t whence = ReadLe64(data.data() + 8);
  auto offset = static_cast<int64_t>(ReadLe64(data.data() + 16));
  if (whence > 2) return kInvalidArg;
  int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
  return lseek(f->fd.get(), static_cast<off_t>(offset), w) < 0 ? AfcStatusFromErrno(errno)
                                                              : kSuccess;
}

uint64_t AfcSession::FileTell(std::string_view data, uint64_t* pos) {
  OpenFile* f = FindHandle(data);
  if (!f) return kInvalidArg;
  off_t p = lseek(f->fd.get(), 0, SEEK_CUR);
  if (p < 0) return AfcStatusFromErrno(errno);
  *pos = static_cast<uint64_t>(p);
  return kSuccess;
}

uint64_t AfcSession::FileClose(std::string_view data) {
  if (data.size() < 8) return kInvalidArg;
  return files_.erase(ReadLe64(data.data())) ? kSuccess : kInvalidArg;
}

uint64_t AfcSession::FileSetSize(std::string_view data) {
  OpenFile* f = FindHandle(data);
  if (!f || data.size() < 16) return kInvalidArg;
  uint64_t size = ReadLe64(data.data() + 8);
  if (size > static_cast<uint64_t>(LLONG_MAX)) return kInvalidArg;
  return SetSizeWithin(f->fd.get(), size);
}

uint64_t AfcSession::FileLock(std::string_view data) {
  OpenFile* f = FindHandle(data);
  if (!f || data.size() < 16) return kInvalidArg;
  uint64_t op = ReadLe64(data.data() + 8);
  int how = 0;
  if (op == (LOCK_SH | LOCK_NB)) how = LOCK_SH | LOCK_NB;
  else if (op == (LOCK_EX | LOCK_NB)) how = LOCK_EX | LOCK_NB;
  else if (op == (LOCK_UN | LOCK_NB) || op == LOCK_UN) how = LOCK_UN;
  else return kInvalidArg;
  if (flock(f->fd.get(), how) != 0) return AfcStatusFromErrno(errno);
  f->locked = how != LOCK_UN;
  return kSuccess;
}

}  // namespace devsim
