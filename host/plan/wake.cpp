#include "host/plan/wake.h"

#include <asio.hpp>

#include "host/plan/plan.h"

namespace corvale::host::plan {

bool SendMagicPackets(const std::string& address, const std::vector<std::string>& macs,
                      std::string* error) {
  const auto colon = address.rfind(':');
  std::error_code failed;
  const auto ip = asio::ip::make_address_v4(address.substr(0, colon), failed);
  if (colon == std::string::npos || failed) {
    *error = "not an IPv4 address:port: " + address;
    return false;
  }
  const asio::ip::udp::endpoint to(
      ip, static_cast<unsigned short>(std::stoul(address.substr(colon + 1))));
  asio::io_context io;
  asio::ip::udp::socket socket(io);
  socket.open(asio::ip::udp::v4(), failed);
  if (!failed) socket.set_option(asio::socket_base::broadcast(true), failed);
  if (failed) {
    *error = "cannot open a UDP socket: " + failed.message();
    return false;
  }
  for (const auto& mac : macs) {
    const std::string packet = MagicPacket(mac);
    if (packet.empty()) {
      *error = "not a MAC address: " + mac;
      return false;
    }
    socket.send_to(asio::buffer(packet), to, 0, failed);
    if (failed) {
      *error = "cannot send to " + address + ": " + failed.message();
      return false;
    }
  }
  return true;
}

}  // namespace corvale::host::plan
