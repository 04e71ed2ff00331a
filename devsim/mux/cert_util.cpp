#include "mux/cert_util.h"

#include <openssl/bio.h>
#include <openssl/encoder.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace devsim {
namespace {

struct BioDeleter {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext) {
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
}

}  // namespace

PkeyPtr GenerateRsaKey(int bits) {
  return PkeyPtr(EVP_RSA_gen(static_cast<unsigned>(bits)));
}

PkeyPtr LoadPrivateKeyPem(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr LoadCertificatePem(const std::string& pem) {
  if (pem.empty() || pem.size() > (1u << 20)) return nullptr;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::string PrivateKeyPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  return BioText(bio.get());
}

std::string RsaPublicKeyPem(EVP_PKEY* key) {
  OSSL_ENCODER_CTX* ctx = OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM",
                                                        "type-specific", nullptr);
  if (!ctx) return {};
  unsigned char* data = nullptr;
  size_t len = 0;
  std::string out;
  if (OSSL_ENCODER_to_data(ctx, &data, &len) == 1) {
    out.assign(reinterpret_cast<char*>(data), len);
    OPENSSL_free(data);
  }
  OSSL_ENCODER_CTX_free(ctx);
  return out;
}

std::string CertificatePem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  return BioText(bio.get());
}

X509Ptr IssueCertificate(EVP_PKEY* subject_key, EVP_PKEY* issuer_key, bool is_ca) {
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 365 * 10);
  X509_set_pubkey(cert.get(), subject_key);
  if (is_ca) {
    AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  } else {
    AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), cert.get(), NID_key_usage,
                 "critical,digitalSignature,keyEncipherment");
  }
  if (X509_sign(cert.get(), issuer_key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

HostIdentity MakeHostIdentity() {
  HostIdentity id;
  PkeyPtr root = GenerateRsaKey(2048);
  PkeyPtr host = GenerateRsaKey(2048);
  X509Ptr root_cert = IssueCertificate(root.get(), root.get(), true);
  X509Ptr host_cert = IssueCertificate(host.get(), root.get(), false);
  id.root_certificate = CertificatePem(root_cert.get());
  id.root_private_key = PrivateKeyPem(root.get());
  id.host_certificate = CertificatePem(host_cert.get());
  id.host_private_key = PrivateKeyPem(host.get());
  return id;
}

std::string RandomBytes(size_t n) {
  std::string out(n, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n));
  return out;
}

std::string RandomUuid() {
  std::string b = RandomBytes(16);
  b[6] = static_cast<char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<char>((b[8] & 0x3F) | 0x80);
  char buf[37];
  const auto* u = reinterpret_cast<const unsigned char*>(b.data());
  std::snprintf(buf, sizeof buf,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u[0],
                u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
                u[14], u[15]);
  return buf;
}

}  // namespace devsim
