// The local channel on Windows: not built yet. A command that needs it says so, and never falls
// back to a channel whose other end it cannot prove.
#include "host/control.h"

namespace corvale::host {

namespace {

constexpr char kNotHere[] =
    "this Windows build has no local channel to the service yet (a named pipe whose server is "
    "checked is planned)";

}  // namespace

std::unique_ptr<ControlServer> ServeControl(const std::string&, ControlHandler,
                                            std::string* error) {
  *error = kNotHere;
  return nullptr;
}

std::optional<std::string> AskService(const std::string&, const std::string&,
                                      std::chrono::milliseconds, std::string* error) {
  *error = kNotHere;
  return std::nullopt;
}

std::string DefaultControlPath() {
  return "";
}

}  // namespace corvale::host
