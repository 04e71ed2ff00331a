// A byte stream between the simulated device and one client: a plain socket, or TLS or a
// fault injector stacked on top of one. Every protocol layer reads and writes through this.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace devsim {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Returns bytes read, 0 at end of stream, -1 on error.
  virtual ssize_t ReadSome(void* buf, size_t len) = 0;
  // Writes everything or fails. A caller that wants header and body to leave in one piece
  // passes them in one call (clients read fixed headers with a single recv).
  virtual bool WriteAll(const void* buf, size_t len) = 0;
  virtual bool WriteTwo(const void* a, size_t alen, const void* b, size_t blen);

  bool ReadExact(void* buf, size_t len);
  bool WriteAll(std::string_view s) { return WriteAll(s.data(), s.size()); }
};

// Owns nothing: the socket belongs to the connection that created the stream.
class SocketStream : public ByteStream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}
  ssize_t ReadSome(void* buf, size_t len) override;
  using ByteStream::WriteAll;
  bool WriteAll(const void* buf, size_t len) override;
  bool WriteTwo(const void* a, size_t alen, const void* b, size_t blen) override;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace devsim
