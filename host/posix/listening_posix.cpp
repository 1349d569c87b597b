// How a listening socket holds its address on POSIX.
#include "host/listening.h"

namespace corvale::host {

void ReserveListenAddress(asio::ip::tcp::acceptor& acceptor, std::error_code& failed) {
  // Lets a restarted service listen while its old connections linger in TIME_WAIT; a port that
  // another socket listens on is never shared by it.
  acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), failed);
}

}  // namespace corvale::host
