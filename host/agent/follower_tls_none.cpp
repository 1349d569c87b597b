// Builds without TLS for the follower (Windows for now): a follower told to use TLS reports that it
// cannot, and never logs in in clear instead.
#include "host/agent/follower_tls.h"

namespace corvale::host::agent {

bool ClientTlsAvailable(std::string* why) {
  *why = "TLS is not available in this build";
  return false;
}

asio::awaitable<TlsStarted> StartClientTls(asio::ip::tcp::socket&, const TlsTrust&) {
  co_return TlsStarted{nullptr, "TLS is not available in this build"};
}

}  // namespace corvale::host::agent
