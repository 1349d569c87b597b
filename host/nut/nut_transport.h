// A client connection's byte stream: plain TCP, or TLS once the client asked for STARTTLS.
// TLS lives in its own file (nut_tls.cpp, or nut_tls_none.cpp where the build has no OpenSSL).
#pragma once

#include <asio.hpp>
#include <functional>
#include <memory>
#include <string>

namespace corvale::nut {

using IoHandler = std::function<void(const std::error_code&, std::size_t)>;

class Transport {
 public:
  virtual ~Transport() = default;
  virtual void Read(asio::mutable_buffer buffer, IoHandler done) = 0;
  virtual void Write(asio::const_buffer buffer, IoHandler done) = 0;
};

class PlainTransport : public Transport {
 public:
  explicit PlainTransport(asio::ip::tcp::socket& socket) : socket_(socket) {}
  void Read(asio::mutable_buffer buffer, IoHandler done) override {
    socket_.async_read_some(buffer, std::move(done));
  }
  void Write(asio::const_buffer buffer, IoHandler done) override {
    asio::async_write(socket_, buffer, std::move(done));
  }

 private:
  asio::ip::tcp::socket& socket_;
};

// The server's certificate and key, loaded once.
class TlsContext;
struct TlsContextDeleter {
  void operator()(TlsContext* context) const;
};
using TlsContextPointer = std::unique_ptr<TlsContext, TlsContextDeleter>;

// Nothing, with `error` set, when the files cannot be used or the build has no TLS.
TlsContextPointer LoadTlsContext(const std::string& certificate, const std::string& key,
                                 std::string* error);

// Gets the TLS transport, or nothing and why the handshake failed.
using TlsHandshakeDone =
    std::function<void(std::unique_ptr<Transport>, const std::string& failure)>;

// Runs the server side of the handshake on `socket`.
void StartTls(asio::ip::tcp::socket& socket, TlsContext& context, TlsHandshakeDone done);

}  // namespace corvale::nut
