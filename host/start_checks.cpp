#include "host/start_checks.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <utility>
#include <vector>

#include "host/agent/agent_checks.h"
#include "host/driver_library.h"
#include "host/host_os.h"
#include "host/notify/notify_checks.h"
#include "host/nut/nut_checks.h"
#include "host/plan/plan_checks.h"
#include "host/utf8_path.h"

namespace corvale::host {

namespace {

namespace fs = std::filesystem;

bool Inside(const std::string& path, const std::string& folder) {
  const auto relative =
      PathFromUtf8(path).lexically_normal().lexically_relative(PathFromUtf8(folder));
  return !relative.empty() && *relative.begin() != "..";
}

bool IsDefaultConfig(const std::string& path) {
  return PathFromUtf8(path).lexically_normal() == PathFromUtf8(DefaultConfigPath());
}

}  // namespace

StartChecks CheckBeforeStart(const Config& config, const std::string& path) {
  StartChecks checks;
  if (auto untrusted = UntrustedConfig(path, HoldsSecrets(config))) {
    checks.problems.push_back(*untrusted);
  }
  // Root writes the flag and the helper's answers: in folders only root may write, or the
  // service's account could point them at root's files. Answers come only where a sandboxed
  // service asks root's helper (not on Windows, where the service has the rights itself).
  const bool helperAnswers = !ServiceWritableFolders().empty();
  for (const auto& [key, folder] :
       {std::pair{"shutdown.flag_file",
                  Utf8FromPath(PathFromUtf8(config.shutdown.flagFile).parent_path())},
        std::pair{"shutdown.results", helperAnswers ? config.shutdown.results : std::string()}}) {
    if (auto untrusted = UntrustedFolder(folder)) {
      checks.problems.push_back(std::string(key) + ": " + *untrusted);
    }
  }
  // What the service keeps for itself, where it writes as the system's own account.
  if (!config.events.history.empty()) {
    // The older half is read back at every start, so it is held to the same rule.
    std::vector<std::string> kept = {config.events.history, config.events.history + ".1"};
    if (!config.notify.empty()) {
      kept.push_back(
          Utf8FromPath(PathFromUtf8(config.events.history).parent_path() / "outbox.jsonl"));
    }
    for (const auto& file : kept) {
      if (auto untrusted = UntrustedStateFile(file)) {
        checks.problems.push_back("events.history: " + *untrusted);
        break;
      }
    }
  }
  // The file the installed unit reads is checked as the unit's account will meet it, whoever
  // runs this check (often root, who may read anything).
  if (const std::string account = ServiceAccount(); !account.empty() && IsDefaultConfig(path)) {
    if (auto problem = AccessProblem(path, account, false)) {
      checks.problems.push_back("the service runs as " + account + ": " + *problem);
    }
    if (!config.events.history.empty()) {
      if (auto problem = AccessProblem(config.events.history, account, true)) {
        checks.warnings.push_back("events.history: " + *problem);
      }
    }
  }
  // A program that cannot run shows only when it is needed: during a power failure.
  for (const auto& [key, command, line, user] :
       {std::tuple{"shutdown.command", config.shutdown.command, config.shutdown.commandLine,
                   std::string()},
        std::tuple{"events.command", config.events.command, config.events.commandLine,
                   ServiceAccount()}}) {
    if (command.empty()) continue;
    if (auto problem = CommandProblem(command, user)) {
      checks.problems.push_back((line > 0 ? "line " + std::to_string(line) + ": " : std::string()) +
                                key + ": " + *problem);
    }
  }
  if (!config.ups().Agent()) {
    if (auto problem = LibraryProblem(config.ups().library)) {
      checks.problems.push_back("ups.library: " + *problem);
    }
  }
  const CheckedFile file{path, IsDefaultConfig(path)};
  // Each room's own.
  nut::CheckSharingStart(config, checks);
  agent::CheckAgentStart(config, file, checks);
  notify::CheckNotifyStart(config, file, checks);
  plan::CheckPlanStart(config, checks);
  // Every cable's port and registry, each named where there are several; the folder of the
  // devices is the machine's, said once.
  const bool several = config.upses.size() > 1;
  for (std::size_t index = 0; index < config.upses.size() && !config.Agent(); ++index) {
    const auto& ups = config.upses[index];
    const std::string which = several ? "UPS '" + ups.name + "': " : "";
    // With several, each UPS's driver process makes its own registry folder: only the folder
    // it is made in has to be there.
    const std::string registry =
        several ? Utf8FromPath(PathFromUtf8(ups.registry).parent_path()) : ups.registry;
    for (auto& warning : SerialSetupWarnings(ups.devices, registry, ups.port)) {
      if (index > 0 && warning.starts_with("ups.devices:")) continue;
      checks.warnings.push_back(which + warning);
    }
    // The port as the service's account will meet it (the installed unit's, or whoever runs the
    // service by hand), not as root who runs the check.
    const bool installed = fs::path(path).lexically_normal() == fs::path(DefaultConfigPath());
    const std::string device = (fs::path(ups.devices) / ups.port).string();
    if (auto problem = PortAccessProblem(device, installed ? ServiceAccount() : std::string())) {
      checks.warnings.push_back(which + "ups.port: " + *problem +
                                "; until then the service cannot watch the UPS");
    }
  }
  const auto writable = ServiceWritableFolders();
  // The flag is the root helper's to write, not the service's.
  std::vector<std::pair<std::string, std::string>> written;
  for (const auto& ups : config.upses) {
    if (ups.Agent()) continue;
    written.emplace_back((several ? "UPS '" + ups.name + "': " : std::string()) + "ups.registry",
                         ups.registry);
  }
  written.emplace_back("events.history", config.events.history);
  for (const auto& [key, where] : written) {
    if (writable.empty()) break;
    if (where.empty()) continue;
    bool inside = false;
    for (const auto& folder : writable) inside = inside || Inside(where, folder);
    if (!inside) {
      std::string folders;
      for (const auto& folder : writable) folders += (folders.empty() ? "" : " or ") + folder;
      checks.warnings.push_back(key + ": the installed service may only write in " + folders +
                                ", not " + where);
    }
  }
  // The installed root helper writes only in its own folder (its sandbox), and its path unit
  // watches only the shipped request folder: elsewhere, no flag or no request would ever land.
  if (!writable.empty()) {
    const std::string helpers = DefaultResultFolder();
    // An agent writes no flag: only the results' folder counts.
    for (const auto& [key, where] : {std::pair{"shutdown.flag_file", config.shutdown.flagFile},
                                     std::pair{"shutdown.results", config.shutdown.results}}) {
      if (config.ups().Agent() && std::string_view(key) == "shutdown.flag_file") continue;
      if (where != helpers && !Inside(where, helpers)) {
        checks.warnings.push_back(std::string(key) +
                                  ": the installed root helper may only write in " + helpers +
                                  ", not " + where + ": no power cut would follow a shutdown");
      }
    }
    if (PathFromUtf8(config.shutdown.requests).lexically_normal() !=
        PathFromUtf8(DefaultRequestFolder())) {
      checks.warnings.push_back("shutdown.requests: corvale-ups-shutdown.path watches only " +
                                DefaultRequestFolder() +
                                ", so the installed helper never sees "
                                "requests left in " +
                                config.shutdown.requests);
    }
  }
  return checks;
}

}  // namespace corvale::host
