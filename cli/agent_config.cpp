// The installer's "follow a server" choice: writes an agent's configuration from the answers, the
// password read from a file so that it never stands on a command line other accounts can see.
#include <toml++/toml.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/commands.h"
#include "host/config.h"
#include "host/host_os.h"
#include "host/utf8_path.h"

namespace corvale {

namespace {

constexpr char kHeader[] =
    "# corvale-ups as an agent: this machine has no cable to the UPS. It follows the UPS `name`\n"
    "# on the machine that has it, logged in there as a secondary (so that machine waits for this\n"
    "# one before the power is cut), and shuts Windows down when that UPS says so. After a\n"
    "# change, check the file and have the service read it again:\n"
    "#   corvale-ups check-config\n"
    "#   sc control CorvaleUPS paramchange\n"
    "# Only Administrators and SYSTEM may read this file: it holds the password.\n\n";

constexpr char kFooter[] =
    "\n# STARTTLS, so that the password and the UPS's words cross the network encrypted; one of:\n"
    "#   ca_file = 'C:\\ProgramData\\Corvale\\ups-ca.pem'   (the server's certificate chains to "
    "it)\n"
    "#   fingerprint = \"AB:CD:...\"   (the SHA-256 of the server's certificate)\n"
    "#   require_tls = true   (checked against the machine's trusted roots)\n"
    "# (in [ups] above). With any of them the password never goes in clear.\n"
    "#\n"
    "# [shutdown]\n"
    "# command = 'shutdown /h'   hibernates instead of shutting down (powercfg /hibernate on\n"
    "#                           first); empty: Windows shuts down.\n";

}  // namespace

int RunWriteAgentConfig(const AgentAnswers& answers) {
  const auto path = host::PathFromUtf8(answers.configPath);
  if (std::filesystem::exists(path)) {
    return Fail(kExitUsage, answers.configPath + " exists already: it is kept as it is");
  }
  std::ifstream secret(host::PathFromUtf8(answers.passwordFile), std::ios::binary);
  std::string password;
  if (!secret || !std::getline(secret, password)) {
    return Fail(kExitUsage, "cannot read the password from " + answers.passwordFile);
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  toml::table ups{{"name", answers.ups},
                  {"server", answers.server},
                  {"user", answers.user},
                  {"password", password}};
  std::ostringstream text;
  text << kHeader << toml::table{{"ups", ups}} << "\n" << kFooter;
  // What the service would refuse is refused here, before the file exists.
  const auto loaded = host::ParseConfig(text.str());
  if (!loaded.problems.empty()) {
    for (const auto& problem : loaded.problems) {
      Fail(0, host::Describe(answers.configPath, problem));
    }
    return kExitUsage;
  }
  if (std::string error; !host::WriteSecretFile(answers.configPath, text.str(), &error)) {
    return Fail(kExitFailure, error);
  }
  return kExitOk;
}

}  // namespace corvale
