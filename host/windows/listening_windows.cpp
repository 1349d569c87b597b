// How a listening socket holds its address on Windows.
#include "host/listening.h"

namespace corvale::host {

void ReserveListenAddress(asio::ip::tcp::acceptor& acceptor, std::error_code& failed) {
  // SO_REUSEADDR would let any local program bind the same port beside ours and take the NUT and
  // HTTP clients over; this address is ours alone, and a bind beside it is refused.
  BOOL exclusive = TRUE;
  if (::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&exclusive), sizeof exclusive) != 0) {
    failed = std::error_code(::WSAGetLastError(), asio::error::get_system_category());
  }
}

}  // namespace corvale::host
