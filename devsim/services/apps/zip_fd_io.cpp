#include "services/apps/zip_fd_io.h"

#include <unistd.h>

namespace devsim {
namespace {

voidpf ZCALLBACK FdOpen(voidpf, const void* name, int) { return const_cast<void*>(name); }

uLong ZCALLBACK FdRead(voidpf, voidpf stream, void* buf, uLong size) {
  auto* f = static_cast<FdZipFile*>(stream);
  uLong done = 0;
  while (done < size) {
    ssize_t n = ::pread(f->fd, static_cast<char*>(buf) + done, size - done,
                        static_cast<off_t>(f->pos + done));
    if (n < 0) {
      f->failed = true;
      break;
    }
    if (n == 0) break;
    done += static_cast<uLong>(n);
  }
  f->pos += done;
  return done;
}

uLong ZCALLBACK FdWrite(voidpf, voidpf stream, const void* buf, uLong size) {
  auto* f = static_cast<FdZipFile*>(stream);
  uLong done = 0;
  while (done < size) {
    ssize_t n = ::pwrite(f->fd, static_cast<const char*>(buf) + done, size - done,
                         static_cast<off_t>(f->pos + done));
    if (n <= 0) {
      f->failed = true;
      break;
    }
    done += static_cast<uLong>(n);
  }
  f->pos += done;
  return done;
}

ZPOS64_T ZCALLBACK FdTell(voidpf, voidpf stream) { return static_cast<FdZipFile*>(stream)->pos; }

long ZCALLBACK FdSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* f = static_cast<FdZipFile*>(stream);
  uint64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
    base = f->pos;
  } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
    off_t end = ::lseek(f->fd, 0, SEEK_END);
    if (end < 0) return -1;
    base = static_cast<uint64_t>(end);
  }
  f->pos = base + offset;
  return 0;
}

int ZCALLBACK FdClose(voidpf, voidpf) { return 0; }
int ZCALLBACK FdError(voidpf, voidpf stream) { return static_cast<FdZipFile*>(stream)->failed; }

}  // namespace

void FillFdZipFuncs(zlib_filefunc64_def* funcs) {
  *funcs = {FdOpen, FdRead, FdWrite, FdTell, FdSeek, FdClose, FdError, nullptr};
}

}  // namespace devsim
