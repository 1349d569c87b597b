// Whether the programs the configuration names can run, as Windows would start them.
#include "host/host_os.h"

namespace corvale::host {

// Windows finds a command's program through cmd.exe's own rules (PATHEXT, App Paths), which are
// not followed here yet: nothing is refused.
std::optional<std::string> CommandProblem(const std::string&, const std::string&) {
  return std::nullopt;
}

// The service runs as LocalSystem, which reads and writes what the administrators may.
std::optional<std::string> AccessProblem(const std::string&, const std::string&, bool) {
  return std::nullopt;
}

std::optional<std::string> PortAccessProblem(const std::string&, const std::string&) {
  return std::nullopt;
}

std::string ServiceAccount() {
  return "";  // LocalSystem
}

}  // namespace corvale::host
