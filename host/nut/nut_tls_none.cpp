// Builds without OpenSSL: STARTTLS is answered as when TLS is not configured.
#include "host/nut/nut_transport.h"

namespace corvale::nut {

class TlsContext {};

void TlsContextDeleter::operator()(TlsContext* context) const {
  delete context;
}

TlsContextPointer LoadTlsContext(const std::string&, const std::string&, std::string* error) {
  *error = "this build of corvale-ups has no TLS";
  return nullptr;
}

void StartTls(asio::ip::tcp::socket&, TlsContext&, TlsHandshakeDone done) {
  done(nullptr, "this build of corvale-ups has no TLS");
}

}  // namespace corvale::nut
