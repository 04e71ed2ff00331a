// RSA keys and X.509 certificates as the pairing handshake uses them: the device's key pair,
// its public key in PKCS#1 PEM form, and (for farms that start out trusted) a host identity
// and a device certificate issued by the host's root.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace devsim {

struct PkeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Deleter {
  void operator()(X509* c) const { X509_free(c); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

PkeyPtr GenerateRsaKey(int bits);
PkeyPtr LoadPrivateKeyPem(const std::string& pem);
X509Ptr LoadCertificatePem(const std::string& pem);
std::string PrivateKeyPem(EVP_PKEY* key);  // PKCS#8 "PRIVATE KEY"
// "RSA PUBLIC KEY" (PKCS#1) block, the only form pairing clients accept.
std::string RsaPublicKeyPem(EVP_PKEY* key);
std::string CertificatePem(X509* cert);

// Issues a certificate for subject_key signed by issuer_key (self-signed when issuer_cert is
// null), valid for ten years, with an empty subject as pairing certificates have.
X509Ptr IssueCertificate(EVP_PKEY* subject_key, EVP_PKEY* issuer_key, bool is_ca);

// The host side of a pairing: root and host keys with their certificates, all PEM.
struct HostIdentity {
  std::string root_certificate, root_private_key;
  std::string host_certificate, host_private_key;
};
HostIdentity MakeHostIdentity();

// Random upper-case UUID text (8-4-4-4-12).
std::string RandomUuid();
std::string RandomBytes(size_t n);

}  // namespace devsim
