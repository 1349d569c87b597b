// One side of a TLS connection through Schannel (SSPI), without any I/O of its own: what the peer
// sent goes in, what it must be sent comes out. The agent's STARTTLS, the NUT server's and the
// mail sender drive it over their own sockets, each in its own style (coroutines, callbacks,
// blocking steps).
#pragma once

#define SECURITY_WIN32
#include <windows.h>
// After windows.h.
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace corvale::host::tls {

// A peer that never completes a record must not make us hold more than this.
inline constexpr std::size_t kMostPendingBytes = 64 * 1024;

// What a failed handshake or a broken record reads as to the caller.
inline std::error_code TlsFailure() {
  return std::make_error_code(std::errc::protocol_error);
}

// A certificate context, freed with the object.
struct CertificateFree {
  void operator()(const CERT_CONTEXT* certificate) const {
    if (certificate != nullptr) CertFreeCertificateContext(certificate);
  }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// Schannel's credentials: a client's (it checks the server itself, once the handshake is done), or
// a server's with its certificate and key.
class Credentials {
 public:
  ~Credentials();
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;
  // Nothing, with `error` set, when Schannel refuses them.
  static std::shared_ptr<Credentials> ForClient(std::string* error);
  // `ownKey`: the certificate's key was imported for this server alone, and is deleted with it.
  static std::shared_ptr<Credentials> ForServer(Certificate certificate, bool ownKey,
                                                std::string* error);
  CredHandle* Handle() { return &handle_; }
  bool Server() const { return server_ != nullptr; }

 private:
  Credentials() = default;
  CredHandle handle_ = {};
  bool acquired_ = false;
  Certificate server_;
  bool ownKey_ = false;
};

class Session {
 public:
  enum class Step { kMore, kDone, kFailed };

  // `host`: the server's name, sent with the handshake (SNI); empty for a server's session.
  Session(std::shared_ptr<Credentials> credentials, const std::string& host);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // One step of the handshake. `incoming` holds what the peer sent so far; what the step used is
  // taken from it (the rest, if any, is the peer's first data). `outgoing` gets what the peer must
  // be sent now. A client starts with nothing incoming.
  Step Handshake(std::string& incoming, std::string& outgoing);

  // Appends the records that carry `size` bytes of `data`.
  bool Encrypt(const char* data, std::size_t size, std::string& outgoing);

  enum class Read { kData, kMore, kClosed, kFailed };
  // Takes the whole records from `incoming` and appends their text to `plain`: kData when some
  // came, kMore when a record is still incomplete, kClosed on the peer's close_notify.
  Read Decrypt(std::string& incoming, std::string& plain);

  // What the peer presented, once the handshake is done; nothing for a client without one.
  Certificate PeerCertificate();

  // Why the last step failed, in words.
  const std::string& Error() const { return error_; }

 private:
  bool Fail(const std::string& doing, SECURITY_STATUS status);

  std::shared_ptr<Credentials> credentials_;
  std::wstring host_;
  CtxtHandle context_ = {};
  bool started_ = false;
  bool done_ = false;
  SecPkgContext_StreamSizes sizes_ = {};
  std::string error_;
};

// The SHA-256 of a certificate as it was sent, in upper-case hex.
std::string Sha256Hex(const CERT_CONTEXT* certificate);

// Why the server's certificate is not to be trusted for `host`, or nothing when it is: checked
// against the CA certificates in `caFile` (PEM) when there is one, else against the machine's
// trusted roots; the chain, the dates and the name.
std::optional<std::string> ServerCertificateProblem(const CERT_CONTEXT* certificate,
                                                    const std::string& host,
                                                    const std::string& caFile);

}  // namespace corvale::host::tls
