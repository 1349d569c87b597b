// The follower's STARTTLS through Schannel: the server's certificate checked against a CA file
// (with the host's name) or the machine's trusted roots, or against a pinned SHA-256 fingerprint,
// once the handshake is done and before a byte of the login goes through it.
#include <array>

#include "host/agent/follower_tls.h"
#include "host/windows/schannel_session.h"

namespace corvale::host::agent {

namespace {

using asio::ip::tcp;

using tls::kMostPendingBytes;
using tls::TlsFailure;

class SchannelChannel : public Channel {
 public:
  SchannelChannel(tcp::socket& socket, std::unique_ptr<tls::Session> session, std::string early)
      : socket_(socket), session_(std::move(session)), incoming_(std::move(early)) {}

  asio::awaitable<std::tuple<std::error_code, std::size_t>> ReadSome(
      asio::mutable_buffer buffer) override {
    std::array<char, 16 * 1024> chunk;
    for (;;) {
      if (!plain_.empty()) {
        const std::size_t count = std::min(plain_.size(), buffer.size());
        std::memcpy(buffer.data(), plain_.data(), count);
        plain_.erase(0, count);
        co_return std::tuple{std::error_code(), count};
      }
      switch (session_->Decrypt(incoming_, plain_)) {
        case tls::Session::Read::kData:
          continue;
        case tls::Session::Read::kClosed:
          co_return std::tuple{std::error_code(asio::error::eof), std::size_t{0}};
        case tls::Session::Read::kFailed:
          co_return std::tuple{TlsFailure(), std::size_t{0}};
        case tls::Session::Read::kMore:
          break;
      }
      if (incoming_.size() > kMostPendingBytes) co_return std::tuple{TlsFailure(), std::size_t{0}};
      const auto [failed, count] =
          co_await socket_.async_read_some(asio::buffer(chunk), kAwaitTuple);
      if (failed) co_return std::tuple{failed, std::size_t{0}};
      incoming_.append(chunk.data(), count);
    }
  }

  asio::awaitable<std::tuple<std::error_code, std::size_t>> Write(
      asio::const_buffer buffer) override {
    std::string records;
    if (!session_->Encrypt(static_cast<const char*>(buffer.data()), buffer.size(), records)) {
      co_return std::tuple{TlsFailure(), std::size_t{0}};
    }
    const auto [failed, count] =
        co_await asio::async_write(socket_, asio::buffer(records), kAwaitTuple);
    co_return std::tuple{failed, failed ? std::size_t{0} : buffer.size()};
  }

 private:
  tcp::socket& socket_;
  std::unique_ptr<tls::Session> session_;
  std::string incoming_;  // records not yet decrypted
  std::string plain_;     // decrypted, not yet read
};

}  // namespace

bool ClientTlsAvailable(std::string*) {
  return true;
}

asio::awaitable<TlsStarted> StartClientTls(tcp::socket& socket, const TlsTrust& trust) {
  const bool pinned = !trust.fingerprint.empty();
  // Anything but a whole SHA-256 would match a peer without a certificate, or too many.
  if (pinned && PinnedDigits(trust.fingerprint).size() != 64) {
    co_return TlsStarted{nullptr, "the pinned fingerprint is not a SHA-256 (64 hex digits)"};
  }
  std::string error;
  auto credentials = tls::Credentials::ForClient(&error);
  if (!credentials) co_return TlsStarted{nullptr, error};
  auto session = std::make_unique<tls::Session>(credentials, trust.host);
  const std::string failed = "TLS with " + trust.host + " failed: ";
  std::string incoming, outgoing;
  std::array<char, 16 * 1024> chunk;
  for (;;) {
    const auto step = session->Handshake(incoming, outgoing);
    if (!outgoing.empty()) {
      const auto [writeFailed, written] =
          co_await asio::async_write(socket, asio::buffer(outgoing), kAwaitTuple);
      if (writeFailed) co_return TlsStarted{nullptr, failed + writeFailed.message()};
      outgoing.clear();
    }
    if (step == tls::Session::Step::kDone) break;
    if (step == tls::Session::Step::kFailed)
      co_return TlsStarted{nullptr, failed + session->Error()};
    if (incoming.size() > kMostPendingBytes) {
      co_return TlsStarted{nullptr, failed + "the server's handshake is too long"};
    }
    const auto [readFailed, count] =
        co_await socket.async_read_some(asio::buffer(chunk), kAwaitTuple);
    if (readFailed) {
      co_return TlsStarted{
          nullptr, failed + (readFailed == asio::error::eof ? "the server closed the connection"
                                                            : readFailed.message())};
    }
    incoming.append(chunk.data(), count);
  }
  const auto certificate = session->PeerCertificate();
  if (pinned) {
    if (!certificate || tls::Sha256Hex(certificate.get()) != PinnedDigits(trust.fingerprint)) {
      co_return TlsStarted{nullptr, "the certificate of " + trust.host +
                                        " does not have the pinned SHA-256 fingerprint"};
    }
  } else if (auto problem =
                 tls::ServerCertificateProblem(certificate.get(), trust.host, trust.caFile)) {
    co_return TlsStarted{nullptr, failed + "its certificate is not trusted: " + *problem};
  }
  co_return TlsStarted{
      std::make_unique<SchannelChannel>(socket, std::move(session), std::move(incoming)), ""};
}

}  // namespace corvale::host::agent
