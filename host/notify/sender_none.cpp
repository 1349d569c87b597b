// Builds without a sender: [[notify]] is refused before the service starts.
#include "host/notify/sender.h"

namespace corvale::host::notify {

bool SendingAvailable(std::string* why) {
  *why = "notifications are not built into this version for this system yet; use events.command";
  return false;
}

Delivery Send(const Config::Notify&, const std::string&, const Notice&, const Extras&) {
  return {false, "not built into this version"};
}

}  // namespace corvale::host::notify
