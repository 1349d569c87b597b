#include "host/agent/agent_checks.h"

#include <filesystem>
#include <fstream>

#include "host/agent/follower_tls.h"
#include "host/host_os.h"
#include "host/utf8_path.h"

namespace corvale::host::agent {

namespace {

void CheckTls(const Config::Ups& ups, bool installed, StartChecks& checks) {
  std::string keys;  // the TLS keys the file sets, and only those
  for (const auto& [key, set] :
       {std::pair{"ups.require_tls", ups.requireTls}, std::pair{"ups.ca_file", !ups.caFile.empty()},
        std::pair{"ups.fingerprint", !ups.fingerprint.empty()}}) {
    if (set) keys += (keys.empty() ? "" : ", ") + std::string(key);
  }
  if (std::string why; !keys.empty() && !ClientTlsAvailable(&why)) {
    checks.problems.push_back(keys + ": " + why);
  }
  if (ups.caFile.empty()) return;
  std::error_code error;
  // As the installed service's account will meet it, whoever runs the check.
  if (!std::filesystem::is_regular_file(PathFromUtf8(ups.caFile), error)) {
    checks.problems.push_back("ups.ca_file: there is no file " + ups.caFile);
  } else if (const std::string account = ServiceAccount(); installed && !account.empty()) {
    if (auto problem = AccessProblem(ups.caFile, account, false)) {
      checks.problems.push_back("ups.ca_file: the service runs as " + account + ": " + *problem);
    }
  } else if (std::ifstream in(PathFromUtf8(ups.caFile)); !in) {
    checks.problems.push_back("ups.ca_file: cannot read " + ups.caFile);
  }
}

}  // namespace

void CheckAgentStart(const Config& config, const CheckedFile& file, StartChecks& checks) {
  if (!config.ups().Agent()) return;
  if (!config.ignoredByAgent.empty()) {
    std::string keys;
    for (const auto& key : config.ignoredByAgent) keys += (keys.empty() ? "" : ", ") + key;
    checks.warnings.push_back(keys +
                              ": for the machine with the UPS's cable; an agent "
                              "(ups.server) has no port and never turns the UPS off, so "
                              "it ignores them");
  }
  for (const auto& ups : config.upses) CheckTls(ups, file.installed, checks);
}

}  // namespace corvale::host::agent
