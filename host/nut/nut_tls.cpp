// TLS for STARTTLS, through Asio's OpenSSL support.
#include <asio/ssl.hpp>

#include "host/nut/nut_transport.h"

namespace corvale::nut {

class TlsContext {
 public:
  asio::ssl::context context{asio::ssl::context::tls_server};
};

void TlsContextDeleter::operator()(TlsContext* context) const {
  delete context;
}

namespace {

class TlsTransport : public Transport {
 public:
  TlsTransport(asio::ip::tcp::socket& socket, asio::ssl::context& context)
      : stream_(socket, context) {}
  void Read(asio::mutable_buffer buffer, IoHandler done) override {
    stream_.async_read_some(buffer, std::move(done));
  }
  void Write(asio::const_buffer buffer, IoHandler done) override {
    asio::async_write(stream_, buffer, std::move(done));
  }
  asio::ssl::stream<asio::ip::tcp::socket&>& Stream() { return stream_; }

 private:
  asio::ssl::stream<asio::ip::tcp::socket&> stream_;
};

}  // namespace

TlsContextPointer LoadTlsContext(const std::string& certificate, const std::string& key,
                                 std::string* error) {
  TlsContextPointer loaded(new TlsContext);
  auto& context = loaded->context;
  context.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                      asio::ssl::context::no_tlsv1_1);
  std::error_code failed;
  context.use_certificate_chain_file(certificate, failed);
  if (failed) {
    *error = "cannot use the certificate " + certificate + ": " + failed.message();
    return nullptr;
  }
  context.use_private_key_file(key, asio::ssl::context::pem, failed);
  if (failed) {
    *error = "cannot use the key " + key + ": " + failed.message();
    return nullptr;
  }
  return loaded;
}

void StartTls(asio::ip::tcp::socket& socket, TlsContext& context, TlsHandshakeDone done) {
  auto transport = std::make_shared<std::unique_ptr<TlsTransport>>(
      std::make_unique<TlsTransport>(socket, context.context));
  auto& stream = (*transport)->Stream();
  stream.async_handshake(asio::ssl::stream_base::server,
                         [transport, done = std::move(done)](const std::error_code& failed) {
                           if (failed) return done(nullptr, failed.message());
                           done(std::move(*transport), "");
                         });
}

}  // namespace corvale::nut
