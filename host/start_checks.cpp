#include "host/start_checks.h"

#include <filesystem>

#include "host/host_os.h"
#include "host/nut/nut_server.h"

namespace corvale::host {

namespace {

namespace fs = std::filesystem;

bool Inside(const fs::path& path, const std::string& folder) {
  const auto relative = path.lexically_normal().lexically_relative(folder);
  return !relative.empty() && *relative.begin() != "..";
}

}  // namespace

StartChecks CheckBeforeStart(const Config& config, const std::string& path) {
  StartChecks checks;
  std::error_code error;
  if (auto untrusted = UntrustedConfig(path, !config.users.empty())) {
    checks.problems.push_back(*untrusted);
  }
  // Root writes the flag and the helper's answers: in folders only root may write, or the
  // service's account could point them at root's files.
  for (const auto& [key, folder] :
       {std::pair{"shutdown.flag_file", fs::path(config.shutdown.flagFile).parent_path().string()},
        std::pair{"shutdown.results", config.shutdown.results}}) {
    if (auto untrusted = UntrustedFolder(folder)) {
      checks.problems.push_back(std::string(key) + ": " + *untrusted);
    }
  }
  // Room beside the clients for the service's own files: the port, the registry, the flag,
  // hooks' pipes, the journal.
  constexpr std::size_t kOwnFiles = 64;
  for (const auto& address : config.http.listen) {
    for (const auto& shared : config.network.listen) {
      if (address == shared) {
        checks.problems.push_back("http.listen and network.listen both name " + address +
                                  ": HTTP and NUT need ports of their own");
      }
    }
  }
  if (const std::size_t limit = OpenFileLimit(); config.network.maxClients + kOwnFiles > limit) {
    checks.problems.push_back("network.max_clients = " + std::to_string(config.network.maxClients) +
                              " does not fit in the limit of " + std::to_string(limit) +
                              " open files with room for the service's own; lower it (or raise "
                              "LimitNOFILE in the unit)");
  }
  if (!config.ups.library.empty() && !fs::is_regular_file(config.ups.library, error)) {
    checks.problems.push_back("ups.library: there is no driver library " + config.ups.library);
  }
  if (!config.network.certificate.empty()) {
    // It may appear later (a certificate renewed at boot): the service waits for it.
    std::string why;
    if (!nut::CheckTlsFiles(config.network.certificate, config.network.key, &why)) {
      checks.warnings.push_back("network.certificate and network.key: " + why +
                                "; the service shares the UPS only once they can be used");
    }
  }
  for (auto& warning :
       SerialSetupWarnings(config.ups.devices, config.ups.registry, config.ups.port)) {
    checks.warnings.push_back(std::move(warning));
  }
  const auto writable = ServiceWritableFolders();
  // The flag is the root helper's to write, not the service's.
  for (const auto& [key, where] : {std::pair{"ups.registry", config.ups.registry},
                                   std::pair{"events.history", config.events.history}}) {
    if (writable.empty()) break;
    if (where.empty()) continue;
    bool inside = false;
    for (const auto& folder : writable) inside = inside || Inside(where, folder);
    if (!inside) {
      std::string folders;
      for (const auto& folder : writable) folders += (folders.empty() ? "" : " or ") + folder;
      checks.warnings.push_back(std::string(key) + ": the installed service may only write in " +
                                folders + ", not " + where);
    }
  }
  return checks;
}

}  // namespace corvale::host
