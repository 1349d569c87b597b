// Wake-on-LAN: the magic packets that start the machines a stage shut down early.
#pragma once

#include <string>
#include <vector>

namespace corvale::host::plan {

// Sends one magic packet per MAC address to `address` ("192.168.1.255:9", broadcast allowed) over
// UDP; false with the reason at the first that cannot be sent.
bool SendMagicPackets(const std::string& address, const std::vector<std::string>& macs,
                      std::string* error);

}  // namespace corvale::host::plan
