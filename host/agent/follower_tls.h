// The follower's byte stream to its server: plain TCP, or TLS once STARTTLS was accepted. TLS lives
// in its own file: follower_tls.cpp through OpenSSL, windows/follower_tls_windows.cpp through
// Schannel, follower_tls_none.cpp where the build has neither.
#pragma once

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <cctype>
#include <memory>
#include <string>
#include <tuple>

namespace corvale::host::agent {

// Completions as (error, result) tuples: a failed read is a reading, not an exception.
inline constexpr auto kAwaitTuple = asio::experimental::as_tuple(asio::use_awaitable);

class Channel {
 public:
  virtual ~Channel() = default;
  virtual asio::awaitable<std::tuple<std::error_code, std::size_t>> ReadSome(
      asio::mutable_buffer buffer) = 0;
  virtual asio::awaitable<std::tuple<std::error_code, std::size_t>> Write(
      asio::const_buffer buffer) = 0;
};

// A channel over any Asio stream: the socket itself, or TLS on it.
template <typename Stream>
class StreamChannel : public Channel {
 public:
  explicit StreamChannel(Stream& stream) : stream_(stream) {}
  asio::awaitable<std::tuple<std::error_code, std::size_t>> ReadSome(
      asio::mutable_buffer buffer) override {
    co_return co_await stream_.async_read_some(buffer, kAwaitTuple);
  }
  asio::awaitable<std::tuple<std::error_code, std::size_t>> Write(
      asio::const_buffer buffer) override {
    co_return co_await asio::async_write(stream_, buffer, kAwaitTuple);
  }

 private:
  Stream& stream_;
};
using PlainChannel = StreamChannel<asio::ip::tcp::socket>;

struct TlsTrust {
  std::string host;         // the name or address connected to, for the certificate's check
  std::string caFile;       // with it, the chain and the host name are checked
  std::string fingerprint;  // with it, only the server's certificate's SHA-256 counts
};

// A pinned fingerprint's digits: "aa:bb" and "AABB" alike, upper-case hex only. A label before
// them, as openssl prints it ("sha256 Fingerprint=AA:BB") or "sha256:", is not part of them.
inline std::string PinnedDigits(std::string text) {
  if (const auto equals = text.rfind('='); equals != std::string::npos) text.erase(0, equals + 1);
  std::string lower;
  for (const char c : text.substr(0, 7)) lower += static_cast<char>(std::tolower(c));
  if (lower == "sha256:") text.erase(0, 7);
  std::string digits;
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return digits;
}

// Whether this build can speak TLS at all; if not, `why`.
bool ClientTlsAvailable(std::string* why);

struct TlsStarted {
  std::unique_ptr<Channel> channel;  // nothing when the handshake or the check failed
  std::string error;
};
// The client's side of the handshake on `socket`, once the server answered STARTTLS.
asio::awaitable<TlsStarted> StartClientTls(asio::ip::tcp::socket& socket, const TlsTrust& trust);

}  // namespace corvale::host::agent
