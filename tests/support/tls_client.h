// TLS for tests of STARTTLS: a throwaway certificate for the server, and the client's side of the
// handshake on a socket that has talked in the clear first, through OpenSSL.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/support/raw_client.h"

namespace corvale::testing {

// Writes a self-signed certificate for CN=127.0.0.1 and its key, PEM; false when any step fails.
inline bool WriteSelfSignedCertificate(const std::string& certificate, const std::string& key) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pair(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!pair || !cert) return false;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), pair.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), pair.get(), EVP_sha256()) == 0) return false;
  std::FILE* certFile = std::fopen(certificate.c_str(), "w");
  std::FILE* keyFile = std::fopen(key.c_str(), "w");
  const bool written =
      certFile != nullptr && keyFile != nullptr && PEM_write_X509(certFile, cert.get()) == 1 &&
      PEM_write_PrivateKey(keyFile, pair.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (certFile != nullptr) std::fclose(certFile);
  if (keyFile != nullptr) std::fclose(keyFile);
  return written;
}

// The client's end of TLS on `fd` (which it does not own); the certificate is not checked: these
// tests are about what the server reads, not whom the client trusts.
class TlsClient {
 public:
  explicit TlsClient(int fd)
      : context_(SSL_CTX_new(TLS_client_method()), SSL_CTX_free),
        ssl_(SSL_new(context_.get()), SSL_free) {
    SSL_set_fd(ssl_.get(), fd);
    connected_ = SSL_connect(ssl_.get()) == 1;
  }
  // True when the handshake completed.
  bool Connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return connected_ && SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())) ==
                             static_cast<int>(bytes.size());
  }
  // The next line, or "<closed>" when the connection ended (or the socket's wait ran out).
  std::string Line() {
    return NextLine(buffer_, [this](char* bytes, std::size_t size) {
      return connected_ ? SSL_read(ssl_.get(), bytes, static_cast<int>(size)) : 0;
    });
  }

 private:
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_;
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_;
  bool connected_ = false;
  std::string buffer_;
};

}  // namespace corvale::testing
