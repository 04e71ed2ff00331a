#include "mux/tls_stream.h"

#include <openssl/err.h>

#include <climits>

namespace devsim {

std::unique_ptr<TlsServerStream> TlsServerStream::Accept(int fd, EVP_PKEY* device_key,
                                                         const std::string& device_cert_pem,
                                                         std::string* error) {
  X509Ptr cert = LoadCertificatePem(device_cert_pem);
  if (!cert) {
    *error = "device certificate unreadable";
    return nullptr;
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) {
    *error = "SSL_CTX_new failed";
    return nullptr;
  }
  // Pairing certificates are signed with SHA-1 and old clients speak TLS 1.0: level 0 must be
  // set before the certificate is loaded. Devices negotiate at most TLS 1.2.
  SSL_CTX_set_security_level(ctx, 0);
  SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  if (SSL_CTX_use_certificate(ctx, cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, device_key) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    *error = "device certificate does not match the device key";
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  // Plain text may follow the TLS session on the same socket, so nothing beyond a record
  // may be read ahead.
  SSL_set_read_ahead(ssl, 0);
  if (SSL_accept(ssl) != 1) {
    *error = "TLS handshake failed";
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return std::unique_ptr<TlsServerStream>(new TlsServerStream(ctx, ssl));
}

TlsServerStream::~TlsServerStream() {
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
}

ssize_t TlsServerStream::ReadSome(void* buf, size_t len) {
  int want = len > INT_MAX ? INT_MAX : static_cast<int>(len);
  int n = SSL_read(ssl_, buf, want);
  if (n > 0) return n;
  int err = SSL_get_error(ssl_, n);
  ERR_clear_error();
  return err == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

bool TlsServerStream::WriteAll(const void* buf, size_t len) {
  const auto* p = static_cast<const char*>(buf);
  while (len > 0) {
    int chunk = len > (1u << 30) ? (1 << 30) : static_cast<int>(len);
    int n = SSL_write(ssl_, p, chunk);
    if (n <= 0) {
      ERR_clear_error();
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void TlsServerStream::Shutdown() {
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace devsim
