// The device's side of a TLS session (lockdownd after StartSession, services started with
// EnableServiceSSL). The device is the TLS server with the certificate the host issued to it
// during pairing; the host is not verified, as real devices do not reject it either.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "mux/byte_stream.h"
#include "mux/cert_util.h"

namespace devsim {

class TlsServerStream : public ByteStream {
 public:
  // Runs the handshake on fd; null with error set on failure.
  static std::unique_ptr<TlsServerStream> Accept(int fd, EVP_PKEY* device_key,
                                                 const std::string& device_cert_pem,
                                                 std::string* error);
  ~TlsServerStream() override;
  TlsServerStream(const TlsServerStream&) = delete;
  TlsServerStream& operator=(const TlsServerStream&) = delete;

  ssize_t ReadSome(void* buf, size_t len) override;
  using ByteStream::WriteAll;
  bool WriteAll(const void* buf, size_t len) override;
  // Sends close_notify without waiting for the peer's; the socket may carry plain text after.
  void Shutdown();

 private:
  TlsServerStream(SSL_CTX* ctx, SSL* ssl) : ctx_(ctx), ssl_(ssl) {}
  SSL_CTX* ctx_;
  SSL* ssl_;
};

}  // namespace devsim
