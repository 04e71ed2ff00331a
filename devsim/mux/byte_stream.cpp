#include "mux/byte_stream.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace devsim {

bool ByteStream::ReadExact(void* buf, size_t len) {
  auto* p = static_cast<char*>(buf);
  while (len > 0) {
    ssize_t n = ReadSome(p, len);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool ByteStream::WriteTwo(const void* a, size_t alen, const void* b, size_t blen) {
  std::string joined(static_cast<const char*>(a), alen);
  joined.append(static_cast<const char*>(b), blen);
  return WriteAll(joined.data(), joined.size());
}

ssize_t SocketStream::ReadSome(void* buf, size_t len) {
  for (;;) {
    ssize_t n = recv(fd_, buf, len, 0);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool SocketStream::WriteAll(const void* buf, size_t len) {
  const auto* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = send(fd_, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// One sendmsg for header and body, so the header is never split from its body by us.
bool SocketStream::WriteTwo(const void* a, size_t alen, const void* b, size_t blen) {
  iovec iov[2] = {{const_cast<void*>(a), alen}, {const_cast<void*>(b), blen}};
  size_t total = alen + blen;
  size_t done = 0;
  while (done < total) {
    msghdr msg{};
    iovec cur[2];
    int cnt = 0;
    size_t skip = done;
    for (auto& v : iov) {
      if (skip >= v.iov_len) {
        skip -= v.iov_len;
        continue;
      }
      cur[cnt].iov_base = static_cast<char*>(v.iov_base) + skip;
      cur[cnt].iov_len = v.iov_len - skip;
      skip = 0;
      ++cnt;
    }
    msg.msg_iov = cur;
    msg.msg_iovlen = cnt;
    ssize_t n = sendmsg(fd_, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace devsim
