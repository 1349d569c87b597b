// The follower's STARTTLS through Asio's OpenSSL support: the server's certificate checked against
// a CA file (with the host's name), or against a pinned SHA-256 fingerprint.
#include "host/agent/follower_tls.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <asio/ssl.hpp>

namespace corvale::host::agent {

namespace {

using asio::ip::tcp;

using TlsStream = asio::ssl::stream<tcp::socket&>;

// What the TLS channel reads and writes through, made before the channel takes it.
struct TlsParts {
  // The context is set up before the stream takes its settings from it.
  TlsParts(tcp::socket& socket, asio::ssl::context&& taken)
      : context(std::move(taken)), stream(socket, context) {}
  asio::ssl::context context;
  TlsStream stream;
};

class TlsChannel : private TlsParts, public StreamChannel<TlsStream> {
 public:
  TlsChannel(tcp::socket& socket, asio::ssl::context&& settings)
      : TlsParts(socket, std::move(settings)), StreamChannel(TlsParts::stream) {}
  TlsStream& Stream() { return TlsParts::stream; }
};

// The SHA-256 of the server's certificate, as upper-case hex; empty when there is none.
std::string PeerFingerprint(SSL* ssl) {
  std::unique_ptr<X509, decltype(&X509_free)> certificate(SSL_get1_peer_certificate(ssl),
                                                          X509_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!certificate || X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1) {
    return "";
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

}  // namespace

bool ClientTlsAvailable(std::string*) {
  return true;
}

asio::awaitable<TlsStarted> StartClientTls(tcp::socket& socket, const TlsTrust& trust) {
  asio::ssl::context context(asio::ssl::context::tls_client);
  context.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                      asio::ssl::context::no_tlsv1_1);
  std::error_code failed;
  const bool pinned = !trust.fingerprint.empty();
  // Anything but a whole SHA-256 would match a peer without a certificate, or too many.
  if (pinned && PinnedDigits(trust.fingerprint).size() != 64) {
    co_return TlsStarted{nullptr, "the pinned fingerprint is not a SHA-256 (64 hex digits)"};
  }
  if (pinned) {
    // The chain means nothing here: the fingerprint is checked once the handshake is done, before
    // a byte is sent through it.
    context.set_verify_mode(asio::ssl::verify_none);
  } else {
    context.set_verify_mode(asio::ssl::verify_peer);
    if (trust.caFile.empty()) {
      context.set_default_verify_paths(failed);
    } else {
      context.load_verify_file(trust.caFile, failed);
    }
    if (failed) {
      co_return TlsStarted{nullptr,
                           "cannot use the CA file " + trust.caFile + ": " + failed.message()};
    }
  }
  auto channel = std::make_unique<TlsChannel>(socket, std::move(context));
  auto& stream = channel->Stream();
  if (!pinned) stream.set_verify_callback(asio::ssl::host_name_verification(trust.host));
  std::error_code ignored;
  asio::ip::make_address(trust.host, ignored);
  if (ignored) SSL_set_tlsext_host_name(stream.native_handle(), trust.host.c_str());

  auto [handshakeFailed] =
      co_await stream.async_handshake(asio::ssl::stream_base::client, kAwaitTuple);
  if (handshakeFailed) {
    std::string why = handshakeFailed.message();
    const long verified = SSL_get_verify_result(stream.native_handle());
    if (verified != X509_V_OK)
      why += " (" + std::string(X509_verify_cert_error_string(verified)) + ")";
    co_return TlsStarted{nullptr, "TLS with " + trust.host + " failed: " + why};
  }
  if (pinned && PeerFingerprint(stream.native_handle()) != PinnedDigits(trust.fingerprint)) {
    co_return TlsStarted{nullptr, "the certificate of " + trust.host +
                                      " does not have the pinned SHA-256 fingerprint"};
  }
  co_return TlsStarted{std::move(channel), ""};
}

}  // namespace corvale::host::agent
